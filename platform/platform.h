// The one include of the driver: the real WDK in the windows build, the host platform's
// declarations of the same names and layouts otherwise. A user-mode Windows program of the
// project (built with QH_USER_MODE) gets the user-mode headers instead: the same names and
// layouts for everything user mode shares with the driver, none of the kernel's objects.
#pragma once

#if defined(_WIN32) && defined(QH_USER_MODE)
#include "platform/win32/user.h"
#elif defined(_WIN32)
#include "platform/wdk/wdk.h"
#else
#include "platform/host/wdk/wdk_host.h"
namespace host {
// Set by host::watch_shared_read (tests only): the field whose next SharedRead calls back.
extern const void* g_watched_field;
void watched_field_read(const void* field);
// A controlled run (platform/host/sched) makes each access to a shared field a place where another
// thread may go first; elsewhere the test below is one predictable branch.
namespace sched {
namespace detail {
extern bool g_controlled;
}
void shared_point(const char* what);
}  // namespace sched
}  // namespace host
#endif

// Every allocation of the driver carries this tag; the four characters are spelled out because
// a multi-character literal warns under -Wall.
constexpr ULONG QH_POOL_TAG = (ULONG('M') << 24) | (ULONG('V') << 16) | (ULONG('C') << 8) | ULONG('D');

// Fields shared between passive level, DPCs and the interrupt routine are single aligned 32- or
// 64-bit values read and written whole, without a lock. These two helpers are the only way the
// driver touches them: a plain volatile access on Windows, a relaxed atomic on the host so that
// the thread sanitizer sees the intent.
template <typename T>
inline T SharedRead(const T& field) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "shared fields are 32 or 64 bits wide");
#if defined(_WIN32)
    return *static_cast<const volatile T*>(&field);
#else
    if (__builtin_expect(host::sched::detail::g_controlled, 0)) host::sched::shared_point("SharedRead");
    const T value = __atomic_load_n(&field, __ATOMIC_RELAXED);
    if (__builtin_expect(__atomic_load_n(&host::g_watched_field, __ATOMIC_RELAXED) != nullptr, 0))
        host::watched_field_read(&field);
    return value;
#endif
}

template <typename T>
inline void SharedWrite(T& field, T value) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "shared fields are 32 or 64 bits wide");
#if defined(_WIN32)
    *static_cast<volatile T*>(&field) = value;
#else
    if (__builtin_expect(host::sched::detail::g_controlled, 0)) host::sched::shared_point("SharedWrite");
    __atomic_store_n(&field, value, __ATOMIC_RELAXED);
#endif
}

// The published layouts the driver relies on; the host declarations must keep them.
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(KSPROPERTY) == 24);
static_assert(sizeof(KSP_PIN) == 32 && sizeof(KSP_NODE) == 32 && sizeof(KSNODEPROPERTY) == 32);
static_assert(sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40);
static_assert(sizeof(KSMULTIPLE_ITEM) == 8);
static_assert(sizeof(KSDATAFORMAT) == 64 && sizeof(KSDATARANGE) == 64);
static_assert(sizeof(KSSTREAM_HEADER) == 56);
static_assert(offsetof(KSSTREAM_HEADER, FrameExtent) == 32 && offsetof(KSSTREAM_HEADER, Data) == 40 &&
              offsetof(KSSTREAM_HEADER, OptionsFlags) == 48);
static_assert(sizeof(KS_FRAME_INFO) == 72);
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEX) == 82);
static_assert(sizeof(KSDATARANGE_AUDIO) == 88);
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48);
#if !defined(QH_USER_MODE)
// The kernel's objects, which user mode never sees.
static_assert(sizeof(KSPROPERTY_ITEM) == 72 && sizeof(KSPROPERTY_SET) == 40 && sizeof(KSAUTOMATION_TABLE) == 48);
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88 && sizeof(KSPIN_DESCRIPTOR_EX) == 136);
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, Flags) == 104);
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == 112);
static_assert(sizeof(KSSTREAM_POINTER) == 64 && sizeof(KSSTREAM_POINTER_OFFSET) == 16);
static_assert(offsetof(KSSTREAM_POINTER, StreamHeader) == 16);
static_assert(sizeof(KSPIN) == 136 && sizeof(KSFILTER) == 24 && sizeof(KSDEVICE) == 64);
static_assert(offsetof(KSPIN, Context) == 16 && offsetof(KSFILTER, Context) == 16 && offsetof(KSDEVICE, Context) == 16);
static_assert(sizeof(KSTOPOLOGY_CONNECTION) == 16);
static_assert(sizeof(KSPIN_CINSTANCES) == 8);
static_assert(sizeof(DEVICE_DESCRIPTION) == 40 && offsetof(DEVICE_DESCRIPTION, InterfaceType) == 20 &&
              offsetof(DEVICE_DESCRIPTION, MaximumLength) == 32);
static_assert(sizeof(IO_CONNECT_INTERRUPT_PARAMETERS) == 80);
static_assert(sizeof(IO_DISCONNECT_INTERRUPT_PARAMETERS) == 16);
static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 20);
static_assert(sizeof(IRP) == 208 && offsetof(IRP, IoStatus) == 48 && offsetof(IRP, IoStatus.Information) == 56);
static_assert(sizeof(IO_STATUS_BLOCK) == 16 && offsetof(IO_STATUS_BLOCK, Information) == 8);
static_assert(sizeof(DMA_ADAPTER) == 16 && offsetof(DMA_ADAPTER, DmaOperations) == 8);
static_assert(offsetof(DMA_OPERATIONS, PutDmaAdapter) == 8 && offsetof(DMA_OPERATIONS, AllocateCommonBuffer) == 16 &&
              offsetof(DMA_OPERATIONS, FreeCommonBuffer) == 24);
static_assert(sizeof(KSDEVICE_DISPATCH) == 112 && sizeof(KSPIN_DISPATCH) == 80 && sizeof(KSFILTER_DISPATCH) == 32);
static_assert(sizeof(UNICODE_STRING) == 16 && sizeof(LARGE_INTEGER) == 8);
static_assert(offsetof(DRIVER_OBJECT, DeviceObject) == 8 && offsetof(DRIVER_OBJECT, DriverExtension) == 48 &&
              offsetof(DRIVER_EXTENSION, AddDevice) == 8);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type) == 4 &&
              offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);
#endif
