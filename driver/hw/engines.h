// The DMA engines: their start and stop sequences, and what the interrupt routine has recorded of
// their progress. Pins ask for an engine to start or stop; only this file programs one.
#pragma once

#include "driver/core/devext.h"

// Programs and starts a channel's video DMA engine from its current format (HwMutex held). A
// channel outside 0..3, a unit larger than the buffers, or a device without its window does
// nothing: the engine is programmed again at the restart.
void StartVideoDma(devext* ext, UCHAR channel);
// The stop sequence of a channel's video DMA engine (HwMutex held).
void StopVideoDma(devext* ext, UCHAR channel);

// Programs and starts a channel's audio DMA engine on its slice of the ring (HwMutex held).
void StartAudioDma(devext* ext, UCHAR channel);
// Stops a channel's audio DMA engine (HwMutex held).
void StopAudioDma(devext* ext, UCHAR channel);

// Writes 0 to every engine's control and enable register: nothing writes into memory afterwards.
void SilenceEngines(devext* ext);

// What the interrupt routine has recorded for a channel's engines, and whether the card has a
// completion of either pending beyond it (always, when the card is gone), at one moment. Passive
// or dispatch level; false when no interrupt is connected.
struct ChannelProgress {
    ULONGLONG videoEvent;
    ULONGLONG audioBytes;
    bool videoPending;
    bool audioPending;
};
bool ReadChannelProgress(devext* ext, ULONG channel, ChannelProgress& progress);

// Before a channel's stopped video engine starts again (HwMutex held, window mapped): a completion
// it announced before it stopped and that the interrupt routine has not served yet is
// acknowledged and dropped, and the routine's record of completions starts afresh.
void ForgetVideoCompletions(devext* ext, ULONG channel);
// The same for a channel's stopped audio engine: no block is counted afterwards.
void ForgetAudioCompletions(devext* ext, ULONG channel);
// At a device start, with every engine stopped and before the buffers' gate opens and interrupts
// are enabled: completions of the engines before the start, pending in the card or recorded by the
// routine and not taken, are dropped.
void ForgetCompletionsBeforeStart(devext* ext);
