// Fault: a global initialised at run time, which only C run-time start-up code would run.
extern "C" __declspec(dllimport) unsigned long KeQueryTimeIncrement();
unsigned long g_increment = KeQueryTimeIncrement();
extern "C" long probe_fault(void*) { return static_cast<long>(g_increment); }
