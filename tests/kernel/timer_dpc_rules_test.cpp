// Kernel timers and DPCs misused the way Windows stops on: initialised again while armed or
// queued, and still armed or queued when the device that owns them is removed.
#include "kernel_fixture.h"
#include "platform/host/pnp/pnp.h"

#include <atomic>
#include <memory>

namespace {

using host::verifier::Capture;
namespace v = host::verifier;

bool has(const Capture& c, const std::string& text) {
    for (const auto& r : c.records())
        if (r.code == v::kDriverVerifierViolation && r.message.find(text) != std::string::npos) return true;
    return false;
}

constexpr ULONG kTag = (ULONG('F') << 24) | (ULONG('l') << 16) | (ULONG('t') << 8) | ULONG('y');

void NTAPI NoopDpc(PKDPC, PVOID, PVOID, PVOID) {}

// Keeps the only simulated processor busy in a DPC until released, so that other DPCs stay queued.
class BusyProcessor {
public:
    BusyProcessor() {
        host::set_processor_count(1);
        KeInitializeEvent(&release_, NotificationEvent, FALSE);
        KeInitializeDpc(
            &dpc_,
            [](PKDPC, PVOID c, PVOID, PVOID) NTAPI {
                auto* self = static_cast<BusyProcessor*>(c);
                self->running_ = true;
                LARGE_INTEGER zero{};
                while (KeWaitForSingleObject(&self->release_, Executive, KernelMode, FALSE, &zero) == STATUS_TIMEOUT)
                    std::this_thread::yield();
            },
            this);
        KeInsertQueueDpc(&dpc_, nullptr, nullptr);
        EXPECT_TRUE(eventually([&] { return running_.load(); }));
    }
    ~BusyProcessor() {
        KeSetEvent(&release_, 0, FALSE);
        host::flush_dpcs();
    }

private:
    KEVENT release_;
    KDPC dpc_;
    std::atomic<bool> running_{false};
};

TEST_F(KernelTest, InitialisingAnArmedTimerOrAQueuedDpcIsNamedAndRefused) {
    Capture capture;
    KTIMER timer;
    KDPC timer_dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&timer_dpc, NoopDpc, nullptr);
    KeSetTimer(&timer, relative_ms(60000), &timer_dpc);
    KeInitializeTimer(&timer);
    EXPECT_TRUE(has(capture, "KeInitializeTimer on pending timer"));
    // Refused: the timer is still in the queue and can be cancelled.
    EXPECT_EQ(host::pending_timer_count(), 1u);
    EXPECT_TRUE(KeCancelTimer(&timer));
    KeInitializeTimer(&timer);
    EXPECT_EQ(capture.count(), 1u);

    BusyProcessor busy;
    KDPC dpc;
    KeInitializeDpc(&dpc, NoopDpc, nullptr);
    ASSERT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    KeInitializeDpc(&dpc, NoopDpc, &dpc);
    EXPECT_TRUE(has(capture, "KeInitializeDpc on queued DPC"));
    EXPECT_EQ(dpc.DeferredContext, nullptr) << "the queued DPC was left as it was";
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    // Not queued any more (and memory that only looks like a DPC is not mistaken for one).
    KeInitializeDpc(&dpc, NoopDpc, nullptr);
    EXPECT_EQ(capture.count(), 2u);
}

// A deliberately faulty driver: its device arms a timer at start, queues a DPC, and its Remove
// stops neither.
struct FaultyContext {
    KTIMER timer;
    KDPC timer_dpc;
    KDPC dpc;
};

NTSTATUS NTAPI FaultyAdd(PKSDEVICE device) {
    auto* context = static_cast<FaultyContext*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FaultyContext), kTag));
    if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeTimer(&context->timer);
    KeInitializeDpc(&context->timer_dpc, NoopDpc, nullptr);
    KeInitializeDpc(&context->dpc, NoopDpc, nullptr);
    device->Context = context;
    return KsAddItemToObjectBag(device->Bag, context, nullptr);
}

NTSTATUS NTAPI FaultyStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    auto* context = static_cast<FaultyContext*>(device->Context);
    KeSetTimer(&context->timer, relative_ms(60000), &context->timer_dpc);
    KeInsertQueueDpc(&context->dpc, nullptr, nullptr);
    return STATUS_SUCCESS;
}

void NTAPI FaultyRemove(PKSDEVICE, PIRP) {}

const KSDEVICE_DISPATCH kFaultyDispatch = {.Add = FaultyAdd, .Start = FaultyStart, .Remove = FaultyRemove};
const KSDEVICE_DESCRIPTOR kFaultyDevice = {&kFaultyDispatch, 0, nullptr};

NTSTATUS NTAPI FaultyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry) {
    return KsInitializeDriver(driver, registry, &kFaultyDevice);
}

TEST_F(KernelTest, TimerArmedOrDpcQueuedAtDeviceRemovalIsNamed) {
    std::shared_ptr<host::pnp::Driver> driver;
    ASSERT_EQ(host::pnp::Driver::load(FaultyEntry, driver), STATUS_SUCCESS);
    std::unique_ptr<host::pnp::Device> device;
    ASSERT_EQ(host::pnp::Device::add(driver, nullptr, 1, device), STATUS_SUCCESS);
    auto busy = std::make_unique<BusyProcessor>();
    host::pnp::ResourceList resources;
    ASSERT_EQ(device->start(&resources, &resources), STATUS_SUCCESS);
    auto* context = static_cast<FaultyContext*>(device->ksdevice()->Context);

    Capture capture;
    device->remove();
    EXPECT_TRUE(has(capture, "still armed at device removal"));
    EXPECT_TRUE(has(capture, "still queued at device removal"));
    // The bag's free of the context is refused as well: it still holds both.
    EXPECT_TRUE(has(capture, "active timer in freed memory"));
    // What the driver should have done; then the context can go.
    KeCancelTimer(&context->timer);
    KeRemoveQueueDpc(&context->dpc);
    busy.reset();
    capture.clear();
    ExFreePool(context);
    EXPECT_EQ(capture.count(), 0u);
}

}  // namespace
