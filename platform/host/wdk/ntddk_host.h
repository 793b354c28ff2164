// The subset of the Windows kernel (ntddk.h / wdm.h) that the driver uses, declared for a
// Linux user-mode build with the published x64 layouts (LLP64: LONG and ULONG are 32 bits,
// WCHAR is 16 bits). Implemented in platform/host/*.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// Base types

#define VOID void
#define CONST const
#define IN
#define OUT
#define OPTIONAL
// The boundary between the platform and a driver uses the Windows x64 calling convention in
// both ways of bringing a driver in: compiled here against these headers, or the shipped image
// loaded by platform/host/image/loader.cpp. A service, callback type or interface method without
// it would pass its arguments in the wrong registers to (or from) the image.
#define NTAPI __attribute__((ms_abi))
#define FASTCALL NTAPI
#define STDMETHODCALLTYPE NTAPI
#define DECLSPEC_NOVTABLE
#define DECLSPEC_NOTHROW
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

typedef void* PVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef unsigned char BYTE;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef uint16_t WORD;
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* PWCHAR;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int64_t LONGLONG;
typedef LONGLONG* PLONGLONG;
typedef uint64_t ULONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef SIZE_T* PSIZE_T;
typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef ULONG_PTR KAFFINITY;
typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef PVOID HANDLE;
typedef LONGLONG REFERENCE_TIME;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID, *LPGUID, IID;
typedef const GUID& REFGUID;
typedef const GUID& REFIID;
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }
#define IsEqualGUIDAligned(a, b) IsEqualGUID(a, b)

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT;

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE, *PSIZE;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

#define SIZEOF_ARRAY(a) (sizeof(a) / sizeof((a)[0]))
#define RtlZeroMemory(d, n) std::memset((d), 0, (n))
#define RtlFillMemory(d, n, v) std::memset((d), (v), (n))
// A copy takes time on a processor while the others go on: a controlled run (host/sched) copies
// in pieces, with a scheduling point before each, so other threads can run in the middle of one.
namespace host::sched {
namespace detail {
extern bool g_controlled;
}
void copy_in_pieces(void* destination, const void* source, size_t bytes);
}  // namespace host::sched
#if defined(__SANITIZE_THREAD__)
extern "C" void AnnotateIgnoreReadsBegin(const char* file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char* file, int line);
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif
inline void* qh_copy_memory(void* destination, const void* source, size_t bytes) {
    if (__builtin_expect(host::sched::detail::g_controlled, 0)) {
        host::sched::copy_in_pieces(destination, source, bytes);
        return destination;
    }
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer checks every byte of a copy against its shadow: a 1080p frame takes it
    // tens of milliseconds, longer than a frame period, so the engine would overtake every copy and
    // every frame would be held back as torn. Frame-sized copies go unwatched there (a DMA buffer
    // is shared with the card by design, and the torn-copy checks keep that honest); smaller ones
    // stay watched.
    if (bytes >= 64 * 1024) {
        AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
        std::memcpy(destination, source, bytes);
        AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
        AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
        return destination;
    }
#endif
    return std::memcpy(destination, source, bytes);
}
#define RtlCopyMemory(d, s, n) qh_copy_memory((d), (s), (n))
#define RtlMoveMemory(d, s, n) std::memmove((d), (s), (n))
#define RtlEqualMemory(a, b, n) (std::memcmp((a), (b), (n)) == 0)
#define UNREFERENCED_PARAMETER(p) ((void)(p))

// ---------------------------------------------------------------------------------------------
// Status codes

#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_ABANDONED ((NTSTATUS)0x00000080L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_DATATYPE_MISALIGNMENT ((NTSTATUS)0x80000002L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_MUTANT_NOT_OWNED ((NTSTATUS)0xC0000046L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_MEMORY_NOT_ALLOCATED ((NTSTATUS)0xC00000A0L)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_ADAPTER_HARDWARE_ERROR ((NTSTATUS)0xC00000C2L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_PROPSET_NOT_FOUND ((NTSTATUS)0xC0000230L)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)

// ---------------------------------------------------------------------------------------------
// Objects the driver receives but does not look into

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// A request packet. The driver uses only IoStatus, which sits where the real x64 IRP has it (the
// shipped image writes IoStatus.Information at offset 56); the rest belongs to the host class
// layer and is padded to the real size.
typedef struct _IRP {
    PVOID HostTarget;  // the filter or pin the request is addressed to
    ULONG HostKind;    // host-private: what HostTarget is
    ULONG HostInputLength;
    ULONG HostOutputLength;
    UCHAR HostReserved0[28];
    IO_STATUS_BLOCK IoStatus;
    UCHAR HostReserved1[144];
} IRP, *PIRP;

typedef struct _DEVICE_OBJECT {
    PVOID HostDevice;  // host-private link to the simulated PCI function
    ULONG HostId;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef NTSTATUS(NTAPI* PDRIVER_ADD_DEVICE)(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

typedef struct _DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;  // KsInitializeDriver sets KsAddDevice; a driver may put its own
    ULONG Count;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

// The published offsets of what a driver may touch (DeviceObject, DriverExtension); the host's
// own link sits where the kernel keeps its private loader entry.
struct _DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID HostDriver;  // DriverSection on Windows
    PDRIVER_EXTENSION DriverExtension;
};

typedef struct _DEVICE_CAPABILITIES DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum
} DEVICE_POWER_STATE,
    *PDEVICE_POWER_STATE;

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
    PowerSystemMaximum
} SYSTEM_POWER_STATE,
    *PSYSTEM_POWER_STATE;

typedef enum { PowerActionNone = 0, PowerActionReserved = 1, PowerActionSleep = 2 } POWER_ACTION;

// ---------------------------------------------------------------------------------------------
// IRQL

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CLOCK_LEVEL 13
#define HIGH_LEVEL 15

KIRQL NTAPI KeGetCurrentIrql();
void NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
KIRQL NTAPI KeRaiseIrqlToDpcLevel();
void NTAPI KeLowerIrql(KIRQL NewIrql);

typedef enum _KPROCESSOR_MODE_ { KernelMode = 0, UserMode = 1 } KPROCESSOR_MODE_;
typedef CHAR KPROCESSOR_MODE;
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;

// ---------------------------------------------------------------------------------------------
// Dispatcher objects. Windows has no call that destroys them: they must work after nothing but
// their KeInitializeXxx call and need no destruction, so the host keeps their state in plain
// words inside the object (see platform/host/kernel/core.cpp).

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

// Every waitable object starts with a header word: a host magic in the upper bits and the object
// kind in the low byte, so a wait can tell events, mutexes and timers apart and refuse an object
// that was never initialised.
typedef struct _KEVENT {
    alignas(8) volatile LONG Header;
    volatile LONG State;           // 1 signalled, 0 not
    volatile LONGLONG Generation;  // bumped by every KeSetEvent (releases all current waiters)
    volatile LONGLONG Reserved;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KMUTEX {
    alignas(8) volatile LONG Header;
    volatile LONG RecursionCount;    // 0 when free
    volatile ULONGLONG OwnerThread;  // host thread id of the owner, 0 when free
    volatile LONG AcquireIrql;
    UCHAR Reserved[36];
} KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _KDPC KDPC, *PKDPC, *PRKDPC;
typedef void(NTAPI* PKDEFERRED_ROUTINE)(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                        PVOID SystemArgument2);

typedef enum _KDPC_IMPORTANCE {
    LowImportance = 0,
    MediumImportance = 1,
    HighImportance = 2,
    MediumHighImportance = 3
} KDPC_IMPORTANCE;

struct _KDPC {
    alignas(8) volatile LONG Header;
    volatile LONG Importance;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile LONG Inserted;  // 1 + index of the processor whose queue holds it, 0 when not queued
    volatile LONG Reserved0;
    volatile ULONGLONG Ticket;  // insertion ticket while queued
    UCHAR Reserved[8];
};

typedef struct _KTIMER {
    alignas(8) volatile LONG Header;
    volatile LONG Pending;      // in the timer queue
    volatile LONGLONG DueTime;  // absolute, host interrupt time, 100 ns
    PKDPC Dpc;
    volatile LONG Signalled;
    volatile LONG Reserved0;
    volatile ULONGLONG Generation;  // bumped by every set/cancel, so a stale expiry is ignored
    UCHAR Reserved[24];
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _KINTERRUPT KINTERRUPT, *PKINTERRUPT;
typedef BOOLEAN(NTAPI* PKSERVICE_ROUTINE)(struct _KINTERRUPT* Interrupt, PVOID ServiceContext);
typedef BOOLEAN(NTAPI* PKSYNCHRONIZE_ROUTINE)(PVOID SynchronizeContext);

void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeResetEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);

void NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex);

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
#define KeWaitForMutexObject KeWaitForSingleObject
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
void NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);
// Any IRQL. The host's counter runs in 100 ns units on the interrupt-time clock (the virtual one
// when it is on).
LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);

void NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
void NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
void NTAPI KeFlushQueuedDpcs();

void NTAPI KeInitializeTimer(PKTIMER Timer);
BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);

// ---------------------------------------------------------------------------------------------
// Pool

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
void NTAPI ExFreePool(PVOID P);
void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// ---------------------------------------------------------------------------------------------
// Register window

typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 } MEMORY_CACHING_TYPE;

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType);
void NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

// Page protections of MmMapIoSpaceEx: one base protection, optionally one caching modifier.
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_WRITECOPY 0x08
#define PAGE_EXECUTE 0x10
#define PAGE_EXECUTE_READ 0x20
#define PAGE_EXECUTE_READWRITE 0x40
#define PAGE_EXECUTE_WRITECOPY 0x80
#define PAGE_GUARD 0x100
#define PAGE_NOCACHE 0x200
#define PAGE_WRITECOMBINE 0x400
PVOID NTAPI MmMapIoSpaceEx(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, ULONG Protect);
// One 32-bit device access each, in program order, acting as full barriers.
ULONG NTAPI READ_REGISTER_ULONG(volatile ULONG* Register);
void NTAPI WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);

// ---------------------------------------------------------------------------------------------
// Interrupts

typedef enum _KINTERRUPT_MODE { LevelSensitive = 0, Latched = 1 } KINTERRUPT_MODE;

#define CONNECT_FULLY_SPECIFIED 0x1
#define CONNECT_LINE_BASED 0x2
#define CONNECT_MESSAGE_BASED 0x3
#define CONNECT_FULLY_SPECIFIED_GROUP 0x4

typedef struct _IO_CONNECT_INTERRUPT_FULLY_SPECIFIED_PARAMETERS {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PKINTERRUPT* InterruptObject;
    PKSERVICE_ROUTINE ServiceRoutine;
    PVOID ServiceContext;
    PKSPIN_LOCK SpinLock;
    KIRQL SynchronizeIrql;
    BOOLEAN FloatingSave;
    BOOLEAN ShareVector;
    ULONG Vector;
    KIRQL Irql;
    KINTERRUPT_MODE InterruptMode;
    KAFFINITY ProcessorEnableMask;
    USHORT Group;
} IO_CONNECT_INTERRUPT_FULLY_SPECIFIED_PARAMETERS, *PIO_CONNECT_INTERRUPT_FULLY_SPECIFIED_PARAMETERS;

typedef struct _IO_CONNECT_INTERRUPT_LINE_BASED_PARAMETERS {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PKINTERRUPT* InterruptObject;
    PKSERVICE_ROUTINE ServiceRoutine;
    PVOID ServiceContext;
    PKSPIN_LOCK SpinLock;
    KIRQL SynchronizeIrql;
    BOOLEAN FloatingSave;
} IO_CONNECT_INTERRUPT_LINE_BASED_PARAMETERS;

typedef struct _IO_CONNECT_INTERRUPT_MESSAGE_BASED_PARAMETERS {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PVOID ConnectionContext;
    PVOID MessageServiceRoutine;
    PVOID ServiceContext;
    PKSPIN_LOCK SpinLock;
    KIRQL SynchronizeIrql;
    BOOLEAN FloatingSave;
    PKSERVICE_ROUTINE FallBackServiceRoutine;
} IO_CONNECT_INTERRUPT_MESSAGE_BASED_PARAMETERS;

typedef struct _IO_CONNECT_INTERRUPT_PARAMETERS {
    ULONG Version;
    union {
        IO_CONNECT_INTERRUPT_FULLY_SPECIFIED_PARAMETERS FullySpecified;
        IO_CONNECT_INTERRUPT_LINE_BASED_PARAMETERS LineBased;
        IO_CONNECT_INTERRUPT_MESSAGE_BASED_PARAMETERS MessageBased;
    };
} IO_CONNECT_INTERRUPT_PARAMETERS, *PIO_CONNECT_INTERRUPT_PARAMETERS;

NTSTATUS NTAPI IoConnectInterruptEx(PIO_CONNECT_INTERRUPT_PARAMETERS Parameters);
void NTAPI IoDisconnectInterrupt(PKINTERRUPT InterruptObject);
// At or below the interrupt's synchronize level: runs the routine at that level with the
// interrupt's lock held, so that it never overlaps the service routine.
BOOLEAN NTAPI KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                                     PVOID SynchronizeContext);

typedef struct _IO_DISCONNECT_INTERRUPT_PARAMETERS {
    ULONG Version;  // the version IoConnectInterruptEx connected with
    union {
        PVOID Generic;
        PKINTERRUPT InterruptObject;
        PVOID InterruptMessageTable;
    } ConnectionContext;
} IO_DISCONNECT_INTERRUPT_PARAMETERS, *PIO_DISCONNECT_INTERRUPT_PARAMETERS;

void NTAPI IoDisconnectInterruptEx(PIO_DISCONNECT_INTERRUPT_PARAMETERS Parameters);

// ---------------------------------------------------------------------------------------------
// Resources handed over at PnP start

#pragma pack(push, 4)
typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal = 0,
    Isa,
    Eisa,
    MicroChannel,
    TurboChannel,
    PCIBus,
    MaximumInterfaceType = 17
} INTERFACE_TYPE;

typedef enum _CM_SHARE_DISPOSITION {
    CmResourceShareUndetermined = 0,
    CmResourceShareDeviceExclusive,
    CmResourceShareDriverExclusive,
    CmResourceShareShared
} CM_SHARE_DISPOSITION;

typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Generic;
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Port;
        struct {
            ULONG Level;
            ULONG Vector;
            KAFFINITY Affinity;
        } Interrupt;
        struct {
            union {
                struct {
                    USHORT Reserved;
                    USHORT MessageCount;
                    ULONG Vector;
                    KAFFINITY Affinity;
                } Raw;
                struct {
                    ULONG Level;
                    ULONG Vector;
                    KAFFINITY Affinity;
                } Translated;
            };
        } MessageInterrupt;
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Memory;
        struct {
            ULONG Channel;
            ULONG Port;
            ULONG Reserved1;
        } Dma;
        struct {
            ULONG Data[3];
        } DevicePrivate;
        struct {
            ULONG Start;
            ULONG Length;
            ULONG Reserved;
        } BusNumber;
        struct {
            ULONG DataSize;
            ULONG Reserved1;
            ULONG Reserved2;
        } DeviceSpecificData;
    } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;

typedef struct _CM_PARTIAL_RESOURCE_LIST {
    USHORT Version;
    USHORT Revision;
    ULONG Count;
    CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
} CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
    INTERFACE_TYPE InterfaceType;
    ULONG BusNumber;
    CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

typedef struct _CM_RESOURCE_LIST {
    ULONG Count;
    CM_FULL_RESOURCE_DESCRIPTOR List[1];
} CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;
#pragma pack(pop)

#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4
#define CmResourceTypeDeviceSpecific 5
#define CmResourceTypeBusNumber 6
#define CmResourceTypeMemoryLarge 7
#define CmResourceTypeDevicePrivate 129

#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0
#define CM_RESOURCE_INTERRUPT_LATCHED 1
#define CM_RESOURCE_INTERRUPT_MESSAGE 2

// ---------------------------------------------------------------------------------------------
// DMA adapter and common buffers

typedef enum _DMA_WIDTH { Width8Bits, Width16Bits, Width32Bits, MaximumDmaWidth } DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible, TypeA, TypeB, TypeC, TypeF, MaximumDmaSpeed } DMA_SPEED;

#define DEVICE_DESCRIPTION_VERSION 0
#define DEVICE_DESCRIPTION_VERSION1 1
#define DEVICE_DESCRIPTION_VERSION2 2

typedef struct _DEVICE_DESCRIPTION {
    ULONG Version;
    BOOLEAN Master;
    BOOLEAN ScatterGather;
    BOOLEAN DemandMode;
    BOOLEAN AutoInitialize;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN IgnoreCount;
    BOOLEAN Reserved1;
    BOOLEAN Dma64BitAddresses;
    ULONG BusNumber;
    ULONG DmaChannel;
    INTERFACE_TYPE InterfaceType;
    DMA_WIDTH DmaWidth;
    DMA_SPEED DmaSpeed;
    ULONG MaximumLength;
    ULONG DmaPort;
} DEVICE_DESCRIPTION, *PDEVICE_DESCRIPTION;

typedef struct _DMA_ADAPTER DMA_ADAPTER, *PDMA_ADAPTER;
typedef void(NTAPI* PPUT_DMA_ADAPTER)(PDMA_ADAPTER DmaAdapter);
typedef PVOID(NTAPI* PALLOCATE_COMMON_BUFFER)(PDMA_ADAPTER DmaAdapter, ULONG Length, PPHYSICAL_ADDRESS LogicalAddress,
                                              BOOLEAN CacheEnabled);
typedef void(NTAPI* PFREE_COMMON_BUFFER)(PDMA_ADAPTER DmaAdapter, ULONG Length, PHYSICAL_ADDRESS LogicalAddress,
                                         PVOID VirtualAddress, BOOLEAN CacheEnabled);

typedef struct _DMA_OPERATIONS {
    ULONG Size;
    PPUT_DMA_ADAPTER PutDmaAdapter;
    PALLOCATE_COMMON_BUFFER AllocateCommonBuffer;
    PFREE_COMMON_BUFFER FreeCommonBuffer;
    PVOID AllocateAdapterChannel;
    PVOID FlushAdapterBuffers;
    PVOID FreeAdapterChannel;
    PVOID FreeMapRegisters;
    PVOID MapTransfer;
    PVOID GetDmaAlignment;
    PVOID ReadDmaCounter;
    PVOID GetScatterGatherList;
    PVOID PutScatterGatherList;
    PVOID CalculateScatterGatherList;
    PVOID BuildScatterGatherList;
    PVOID BuildMdlFromScatterGatherList;
} DMA_OPERATIONS, *PDMA_OPERATIONS;

struct _DMA_ADAPTER {
    USHORT Version;
    USHORT Size;
    struct _DMA_OPERATIONS* DmaOperations;
};

PDMA_ADAPTER NTAPI IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_DESCRIPTION DeviceDescription,
                                   PULONG NumberOfMapRegisters);

// ---------------------------------------------------------------------------------------------
// Debug output and small run-time helpers

// Windows conversions (%lx on a 32-bit ULONG, %I64d) are not glibc's, so no printf format
// checking here; the cross build checks nothing either.
extern "C" ULONG NTAPI DbgPrint(PCSTR Format, ...);
extern "C" void NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message);
SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length);

// ---------------------------------------------------------------------------------------------
// The device's registry keys (the hardware key only: what the INF's .HW section writes)

typedef ULONG ACCESS_MASK;
#define KEY_QUERY_VALUE 0x0001
#define KEY_READ 0x20019
#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define REG_SZ 1
#define REG_BINARY 3
#define REG_DWORD 4

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

// PASSIVE_LEVEL, on a physical device object only. The handle is a kernel handle for ZwClose.
NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       HANDLE* DeviceRegKey);
NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength);
NTSTATUS NTAPI ZwClose(HANDLE Handle);

// The kernel's fast-fail (int 0x29 in the windows build): bug check 0x139,
// KERNEL_SECURITY_CHECK_FAILURE, with the code as its first parameter. No verifier capture can
// absorb it: the caller cannot go on.
[[noreturn]] void NTAPI FastFail(ULONG Code);

#define ASSERT(exp) ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, nullptr), FALSE) : TRUE)

// The driver's entry point, called by the host's driver loader.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
