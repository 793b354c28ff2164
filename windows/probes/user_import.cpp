// Deliberately faulty image for the image check's own test: an import from a user-mode DLL.
extern "C" __declspec(dllimport) unsigned long GetTickCount();
extern "C" long DriverEntry(void*, void*) { return static_cast<long>(GetTickCount()); }
