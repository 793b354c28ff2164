// Fault: a kernel import the allow-list leaves out (memory integrity wants MmMapIoSpaceEx).
extern "C" __declspec(dllimport) void* MmMapIoSpace(long long physical, unsigned long long bytes, int caching);
extern "C" long probe_fault(void*) { return MmMapIoSpace(0xF0000000, 0x1000, 0) != nullptr; }
