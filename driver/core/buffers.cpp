// The video buffers' gate.
#include "driver/core/buffers.h"

namespace {

constexpr LONGLONG kReaderPoll = -10000;  // 1 ms, relative

// A full-barrier add on a word the Process calls of other processors share.
inline LONG AddReaders(LONG& target, LONG delta) { return __atomic_add_fetch(&target, delta, __ATOMIC_SEQ_CST); }
inline ULONG LoadOrdered(const ULONG& field) { return __atomic_load_n(&field, __ATOMIC_SEQ_CST); }

}  // namespace

bool AcquireBuffers(devext* ext) {
    AddReaders(ext->BufferReaders, 1);
    if (LoadOrdered(ext->BuffersOpen) != 0) {
        return true;
    }
    AddReaders(ext->BufferReaders, -1);
    return false;
}

void ReleaseBuffers(devext* ext) { AddReaders(ext->BufferReaders, -1); }

void OpenBuffers(devext* ext) { __atomic_store_n(&ext->BuffersOpen, ULONG(1), __ATOMIC_SEQ_CST); }

void CloseBuffers(devext* ext) {
    __atomic_store_n(&ext->BuffersOpen, ULONG(0), __ATOMIC_SEQ_CST);
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        KeSetEvent(&ext->Channel[channel].FrameEvent, 0, FALSE);
    }
    while (AddReaders(ext->BufferReaders, 0) != 0) {
        LARGE_INTEGER interval;
        interval.QuadPart = kReaderPoll;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}
