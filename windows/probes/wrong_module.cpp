// Fault: an allowed function imported from another module than the one that exports it
// (wrong_module.def puts KeInitializeDpc in hal.dll).
extern "C" __declspec(dllimport) void KeInitializeDpc(void* dpc, void* routine, void* context);
extern "C" long probe_fault(void* argument) {
    KeInitializeDpc(argument, nullptr, nullptr);
    return 0;
}
