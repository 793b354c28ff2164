// Fault (compiled with RTTI, linked with libsupc++): dynamic_cast brings in the C++ runtime's
// type-info classes and __dynamic_cast.
struct Base {
    virtual long run() const { return 0; }
};
struct Derived : Base {
    long run() const override { return 1; }
};
static const Derived kDerived;
extern "C" long probe_fault(void* argument) {
    const Base* base = argument ? static_cast<const Base*>(&kDerived) : nullptr;
    return dynamic_cast<const Derived*>(base) != nullptr;
}
