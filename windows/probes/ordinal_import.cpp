// Fault: a kernel function imported by ordinal rather than by name (ordinal.def).
extern "C" __declspec(dllimport) unsigned long KeQueryTimeIncrement();
extern "C" long probe_fault(void*) { return static_cast<long>(KeQueryTimeIncrement()); }
