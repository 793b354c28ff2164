// Fault: a section that is both writable and executable.
asm(".section .wxcode,\"xw\"\n"
    "probe_patchable: ret\n"
    ".text\n");
extern "C" long probe_fault(void* argument) { return argument != nullptr; }
