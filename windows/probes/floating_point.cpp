// Fault: floating-point arithmetic in kernel code.
extern "C" long probe_fault(void* argument) {
    volatile double scale = 1.5;
    return static_cast<long>(static_cast<double>(reinterpret_cast<long long>(argument)) * scale);
}
