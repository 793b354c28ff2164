// Fault: KeStallExecutionProcessor imported from ntoskrnl.exe (stall_from_ntoskrnl.def), which
// exports it only from Windows 10 2004 on; the minimum version has it in hal.dll alone.
extern "C" __declspec(dllimport) void KeStallExecutionProcessor(unsigned long microseconds);
extern "C" long probe_fault(void* argument) {
    KeStallExecutionProcessor(argument != nullptr);
    return 0;
}
