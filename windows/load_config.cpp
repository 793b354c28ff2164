// The image's load configuration: where Windows' loader finds the stack cookie to seed. The loader
// replaces the cookie's initial value with a random one at every load, before DriverEntry runs;
// DriverEntry then mixes the driver's own sources in (driver/device/stack_guard.cpp). Only the
// fields up to GuardFlags mean anything here: no Control Flow Guard, no SEH tables (x64 unwinds
// through .pdata), nothing else the loader acts on.
#include "driver/device/stack_guard.h"

namespace {

// IMAGE_LOAD_CONFIG_DIRECTORY64 as the Windows 10 SDK lays it out (mingw-w64's headers lack it),
// up to the last field the 16299 loader reads and the guard fields after it, all zero.
struct LoadConfig64 {
    ULONG Size;
    ULONG TimeDateStamp;
    USHORT MajorVersion, MinorVersion;
    ULONG GlobalFlagsClear, GlobalFlagsSet, CriticalSectionDefaultTimeout;
    ULONG64 DeCommitFreeBlockThreshold, DeCommitTotalFreeThreshold, LockPrefixTable, MaximumAllocationSize;
    ULONG64 VirtualMemoryThreshold, ProcessAffinityMask;
    ULONG ProcessHeapFlags;
    USHORT CSDVersion, DependentLoadFlags;
    ULONG64 EditList;
    ULONG_PTR* SecurityCookie;
    ULONG64 SEHandlerTable, SEHandlerCount;
    ULONG64 GuardCFCheckFunctionPointer, GuardCFDispatchFunctionPointer, GuardCFFunctionTable, GuardCFFunctionCount;
    ULONG GuardFlags;
    USHORT CodeIntegrityFlags, CodeIntegrityCatalog;
    ULONG CodeIntegrityCatalogOffset, CodeIntegrityReserved;
    ULONG64 GuardAddressTakenIatEntryTable, GuardAddressTakenIatEntryCount;
    ULONG64 GuardLongJumpTargetTable, GuardLongJumpTargetCount;
    ULONG64 DynamicValueRelocTable, CHPEMetadataPointer;
    ULONG64 GuardRFFailureRoutine, GuardRFFailureRoutineFunctionPointer;
    ULONG DynamicValueRelocTableOffset;
    USHORT DynamicValueRelocTableSection, Reserved2;
    ULONG64 GuardRFVerifyStackPointerFunctionPointer;
    ULONG HotPatchTableOffset, Reserved3;
    ULONG64 EnclaveConfigurationPointer;
};
static_assert(__builtin_offsetof(LoadConfig64, SecurityCookie) == 0x58);
static_assert(__builtin_offsetof(LoadConfig64, GuardFlags) == 0x90);
static_assert(sizeof(LoadConfig64) == 0x100);

}  // namespace

// The linker points the image's load-configuration directory at this symbol by its name.
extern "C" __attribute__((used)) const LoadConfig64 _load_config_used = {
    sizeof(LoadConfig64),
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    &__stack_chk_guard,
};
