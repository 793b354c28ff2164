// Fault: a function exported by name, which any other kernel module could import.
extern "C" __declspec(dllexport) long probe_fault(void* argument) { return argument != nullptr; }
