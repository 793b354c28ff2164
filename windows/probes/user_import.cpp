// Fault: an import from a user-mode DLL.
extern "C" __declspec(dllimport) unsigned long GetTickCount();
extern "C" long probe_fault(void*) { return static_cast<long>(GetTickCount()); }
