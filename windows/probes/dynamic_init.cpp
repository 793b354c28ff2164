// Deliberately faulty image for the image check's own test: a global initialised at run time.
extern "C" unsigned long KeQueryTimeIncrement();
extern "C" long DriverEntry(void*, void*) { return 0; }
unsigned long g_increment = KeQueryTimeIncrement();
