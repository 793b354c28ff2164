// The three narrow hooks between the host platform and a simulated PCI Express device:
// an MMIO register window, an interrupt line, and bus-master access to host memory by bus
// address. A device model (sim/) sees only this header; the driver never sees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace host {

// A device's register window. The platform calls these from whatever thread performs
// READ_REGISTER_ULONG / WRITE_REGISTER_ULONG (passive, DPC or interrupt level), in program
// order, synchronously: a write has taken effect in the device before the accessor returns.
// Offsets are byte offsets from the start of the window, already 4-byte aligned and inside it.
class MmioRegion {
public:
    virtual ~MmioRegion() = default;
    virtual uint32_t read32(uint32_t offset) = 0;
    virtual void write32(uint32_t offset, uint32_t value) = 0;
};

// The card's interrupt output. The device drives it; the platform's interrupt thread delivers
// it to the connected service routine at device level.
//  - Level-sensitive mode: the device calls set_level(true) while any enabled cause is pending
//    and set_level(false) when none is. While the level is high and a routine is connected, the
//    platform calls the routine again and again (after each return it samples the level anew).
//  - Message-signalled mode: the device calls signal_message() once per new cause; each message
//    gives one call of the routine; a message arriving while the routine runs is delivered
//    after it returns (at most one pending message is kept).
class InterruptLine {
public:
    enum class Mode { LevelSensitive, MessageSignalled };
    virtual ~InterruptLine() = default;
    virtual Mode mode() const = 0;
    virtual void set_level(bool asserted) = 0;
    virtual void signal_message() = 0;
    // Test knob: another device on the line raises an interrupt, so the routine is called
    // although this device raised nothing; it must answer FALSE at once.
    //  - Level-sensitive (a shared line): the other device asserts the line until its own routine
    //    is called, which the kernel does only when ours declined (it stops at the first TRUE).
    //    A routine that claims while only the other device asserts leaves that device's
    //    interrupt unserved for good, the interrupt storm Windows then meets, and the run stops.
    //    The other device connects its routine shared when it first asserts: a line connected
    //    exclusively is reported as a finding instead, and an exclusive connection after that
    //    fails.
    //  - Message-signalled (a vector of this device alone): one spurious call of the routine.
    virtual void inject_foreign() = 0;
    // The other device on a level-sensitive line: how many of its interrupts its own routine has
    // served, and whether it asserts the line now (its interrupt not yet served).
    virtual uint64_t foreign_served() const { return 0; }
    virtual bool foreign_asserted() const { return false; }
    // Blocks until nothing is pending on the line and the routine is not running (or until
    // the time-out). Lets deterministic tests and manual stepping wait for delivery.
    virtual bool wait_quiet(uint32_t timeout_ms) = 0;
    // Number of service-routine calls made for this line, and how many of them returned TRUE.
    virtual uint64_t calls() const = 0;
    virtual uint64_t claimed() const = 0;
    // Time between the line asking for the processor and the routine running (interrupt
    // latency, a processor busy elsewhere): when set, the platform's interrupt thread calls the
    // hook each time it is about to serve the device, before it takes the pending message or
    // samples the level, so causes raised meanwhile are served by that one call. The hook may
    // block; it should return soon once `stopping` answers true (the routine is being
    // disconnected). Set it before the routine is connected.
    using DeliveryHook = std::function<void(const std::function<bool()>& stopping)>;
    virtual void set_delivery_hook(DeliveryHook hook) { (void)hook; }
    // The device behind the line is gone (its registers read all ones): a routine that claims
    // an interrupt from then on claims another device's, which on a shared line is then never
    // served, and that stops the run.
    virtual void set_device_gone(bool gone) { (void)gone; }
};

// A line owned by the platform; the device keeps the pointer for its lifetime.
std::unique_ptr<InterruptLine> create_interrupt_line(InterruptLine::Mode mode);

// Registers a register window on the simulated bus and returns its physical address (what
// the PnP manager puts in the memory resource). The region must outlive its registration.
uint64_t register_mmio(MmioRegion* region, uint32_t length);
void unregister_mmio(uint64_t physical_address);

// Vector number under which the line is known to IoConnectInterruptEx (the PnP manager puts
// it in the interrupt resource). Registration is idempotent.
uint32_t register_interrupt_line(InterruptLine* line);
void unregister_interrupt_line(InterruptLine* line);

// Bus-master DMA by the device into host memory. The range must lie wholly inside one live
// common buffer; otherwise nothing is transferred, the verifier reports "DMA outside common
// buffers" (a named failure) and false is returned. Transfers are published before the
// call returns, so a later register read or interrupt that announces them is ordered after.
bool dma_write(uint64_t bus_address, const void* source, size_t length);
bool dma_read(uint64_t bus_address, void* destination, size_t length);

// PCI power management states of a function. The bus driver puts a function into a low state after
// its driver has let go of it (a device power request passes down the stack to the bus driver) and
// back into D0 before its driver hears of the return (the request completes on its way up).
enum class DevicePower { D0, D1, D2, D3 };
using PowerHandler = std::function<void(DevicePower state)>;
// A device model registers a handler for the function the PnP manager knows it by (the pointer
// given as the device's PCI function); registering again replaces it. Unregistering waits for a
// call in progress, so the handler may be destroyed once it returns.
void register_power_handler(const void* function, PowerHandler handler);
void unregister_power_handler(const void* function);
// The PnP manager's side: the bus sets the function's power state. A function without a handler
// (no device model behind it) is left alone.
void set_device_power(const void* function, DevicePower state);

// Whether an address lies in a mapped register window. Lock-free: the loaded image's register
// accesses fault and are routed to READ/WRITE_REGISTER_ULONG from the fault handler.
bool is_register_address(const void* address);

}  // namespace host
