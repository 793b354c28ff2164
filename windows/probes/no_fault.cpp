// For probes whose fault is in how they are linked.
extern "C" long probe_fault(void* argument) { return argument != nullptr; }
