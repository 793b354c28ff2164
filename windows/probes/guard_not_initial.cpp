// Fault: the stack guard holds a value of its own in the image, so Windows' loader (which seeds
// only a cookie at its initial value) would refuse the image. The probe brings its guard instead
// of the driver's; its failure routine fast-fails as the driver's does.
extern "C" unsigned long long __stack_chk_guard = 0x1234;
extern "C" [[noreturn]] void __stack_chk_fail(void) {
    __asm__ volatile("int $0x29" : : "c"(2) : "memory");
    __builtin_unreachable();
}
extern "C" long probe_fault(void* argument) { return argument != nullptr; }
