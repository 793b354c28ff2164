// Fault (compiled without unwind tables): a function with a stack frame and no .pdata entry.
extern "C" __declspec(dllimport) unsigned long DbgPrint(const char* format, ...);
extern "C" long probe_fault(void* argument) {
    volatile char buffer[64];
    buffer[0] = static_cast<char>(reinterpret_cast<long long>(argument));
    DbgPrint("%c\n", buffer[0]);
    return buffer[0];
}
