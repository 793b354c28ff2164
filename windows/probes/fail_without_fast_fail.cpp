// Fault: a failed cookie check that spins instead of stopping the machine: the overrun frame
// stays on a live stack.
extern "C" unsigned long long __stack_chk_guard = 0x00002B992DDFA232ull;
extern "C" [[noreturn]] void __stack_chk_fail(void) {
    for (;;) {
        __asm__ volatile("pause");
    }
}
extern "C" long probe_fault(void* argument) { return argument != nullptr; }
