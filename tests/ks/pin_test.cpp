// Pin creation and formats, intersection, states, streaming, processing, properties, clock and
// the class-side checks, all through the client API against the suite's minidriver.
#include "tests/ks/minidriver.h"

#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/verifier.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace ksmini;
using StrVec = std::vector<std::string>;
using qh::client::CompletedFrame;

namespace {

template <typename Pred>
bool wait_until(Pred pred, int timeout_ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

struct Open {
    Bed bed;
    std::unique_ptr<qh::client::Filter> filter;
    Open() {
        EXPECT_EQ(bed.client->open_filter(0, filter), STATUS_SUCCESS);
        state().take();
    }
    std::unique_ptr<qh::client::Pin> pin(const std::vector<uint8_t>& f) {
        std::unique_ptr<qh::client::Pin> p;
        EXPECT_EQ(filter->create_pin(0, f, p), STATUS_SUCCESS);
        return p;
    }
};

std::vector<uint8_t> request(const GUID& set, ULONG id, ULONG flags, size_t size = sizeof(KSPROPERTY)) {
    auto r = qh::client::make_property(set, id, flags);
    r.resize(size, 0);
    return r;
}

}  // namespace

TEST(KsPin, CreationMatchesRangesInOrderCallsSetDataFormatBeforeCreateAndHonoursTheInstanceLimit) {
    Open o;
    size_t pool_before = host::pool_usage().live_blocks;
    // Range 1 says NO_MATCH, so range 2 (same GUIDs) gets the format; range 0 has another subtype.
    state().format_no_match_range = 1;
    auto pin = o.pin(format(kSubB, 640));
    ASSERT_TRUE(pin);
    EXPECT_EQ(state().take(), (StrVec{"SetDataFormat:1:null", "SetDataFormat:2:null", "Create"}));
    PKSPIN k = pin->kspin();
    EXPECT_EQ(k->ConnectionFormat->SubFormat, kSubB);
    EXPECT_EQ(k->StreamHeaderSize, sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO));
    EXPECT_EQ(k->DeviceState, KSSTATE_STOP);
    EXPECT_EQ(k->ResetState, KSRESET_END);
    EXPECT_EQ(host::ks::pin_instances(o.filter->ksfilter(), 0), 1u);

    // SetDataFormat made private copies of the descriptor and its framing; the shared table is intact.
    EXPECT_TRUE(host::ks::bag_contains(k->Bag, k->Descriptor));
    EXPECT_TRUE(host::ks::bag_contains(k->Bag, k->Descriptor->AllocatorFraming));
    EXPECT_EQ(k->Descriptor->AllocatorFraming->FramingItem[0].FramingRange.Range.MaxFrameSize, 640u);
    EXPECT_EQ(o.filter->pins()[0].ranges.size(), 3u);
    EXPECT_EQ(host::pool_usage().live_blocks, pool_before + 2);

    // The class answers the framing query from the pin's (edited) descriptor.
    auto framing = pin->property(
        request(host::ks::kPropsetConnection, host::ks::kConnectionAllocatorFramingEx, KSPROPERTY_TYPE_GET),
        sizeof(KSALLOCATOR_FRAMING_EX));
    ASSERT_EQ(framing.status, STATUS_SUCCESS);
    ASSERT_EQ(framing.bytes_returned, sizeof(KSALLOCATOR_FRAMING_EX));
    EXPECT_EQ(reinterpret_cast<const KSALLOCATOR_FRAMING_EX*>(framing.data.data())
                  ->FramingItem[0]
                  .FramingRange.Range.MaxFrameSize,
              640u);

    // A second instance is refused before any driver callback.
    std::unique_ptr<qh::client::Pin> second;
    EXPECT_FALSE(NT_SUCCESS(o.filter->create_pin(0, format(kSubA, 1), second)));
    EXPECT_TRUE(state().take().empty());

    // A later format change passes the old format; repeating the edits allocates nothing.
    state().format_no_match_range = -1;
    EXPECT_EQ(pin->set_format(format(kSubA, 320)), STATUS_SUCCESS);
    EXPECT_EQ(state().take(), (StrVec{"SetDataFormat:0:old"}));
    EXPECT_EQ(k->ConnectionFormat->SubFormat, kSubA);
    EXPECT_EQ(host::pool_usage().live_blocks, pool_before + 2);
    // A format no range takes leaves the old one in force.
    EXPECT_EQ(pin->set_format(format(kOther, 1)), STATUS_NO_MATCH);
    EXPECT_EQ(k->ConnectionFormat->SubFormat, kSubA);
    // A format whose size field runs past the buffer is refused without a callback.
    auto bad = format(kSubA, 1);
    reinterpret_cast<PKSDATAFORMAT>(bad.data())->FormatSize = 4096;
    EXPECT_EQ(pin->set_format(bad), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_TRUE(state().take().empty());

    // Closing frees the copies with the pin and frees the instance.
    EXPECT_EQ(pin->close(), STATUS_SUCCESS);
    EXPECT_EQ(state().take(), (StrVec{"Close"}));
    EXPECT_EQ(host::pool_usage().live_blocks, pool_before);
    EXPECT_EQ(host::ks::pin_instances(o.filter->ksfilter(), 0), 0u);
    EXPECT_TRUE(state().context_ok);

    // Unmatched GUIDs: no callback, STATUS_NO_MATCH; the topology-only pin cannot be created.
    std::unique_ptr<qh::client::Pin> none;
    EXPECT_EQ(o.filter->create_pin(0, format(kOther, 1), none), STATUS_NO_MATCH);
    EXPECT_FALSE(NT_SUCCESS(o.filter->create_pin(1, format(kOther, 1), none)));
    EXPECT_TRUE(state().take().empty());
    EXPECT_EQ(host::pool_usage().live_blocks, pool_before);
}

TEST(KsPin, IntersectionAsksTheSizeFirstMovesOnAfterNoMatchAndRefusesMalformedRequests) {
    Open o;
    // The client's first range matches nothing; its second matches ranges 1 and 2 of the pin.
    auto other = format(kOther, 0);
    auto sub_b = format(kSubB, 0);
    state().intersect_no_match_first = 1;  // range 1 says NO_MATCH to the size query
    std::vector<uint8_t> result;
    ASSERT_EQ(o.filter->intersect(0, {other, sub_b}, result), STATUS_SUCCESS);
    ASSERT_EQ(result.size(), kFormatSize);
    EXPECT_EQ(reinterpret_cast<const KSDATAFORMAT*>(result.data())->SubFormat, kSubB);
    EXPECT_EQ(state().take(), (StrVec{"Intersect:1", "Intersect:2", "Intersect:1"}));
    {
        std::lock_guard<std::mutex> g(state().lock);
        EXPECT_EQ(state().intersect_buffer_sizes, (std::vector<ULONG>{0, 0, kFormatSize}));
        EXPECT_EQ(state().intersect_data_null, (std::vector<bool>{true, true, false}));
    }
    EXPECT_EQ(state().intersect_context.load(), o.filter->ksfilter());

    // Raw: a size query answers with the size; a short buffer is refused.
    auto query = o.filter->intersect_raw(0, {sub_b}, 0);
    EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(query.bytes_returned, kFormatSize);
    EXPECT_EQ(o.filter->intersect_raw(0, {sub_b}, 8).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(o.filter->intersect_raw(0, {other}, 0).status, STATUS_NO_MATCH);
    state().take();

    // Malformed requests never reach the handler.
    auto tiny = sub_b;
    reinterpret_cast<PKSDATARANGE>(tiny.data())->FormatSize = 16;
    EXPECT_EQ(o.filter->intersect_raw(0, {tiny}, 0).status, STATUS_INVALID_BUFFER_SIZE);
    auto huge = sub_b;
    reinterpret_cast<PKSDATARANGE>(huge.data())->FormatSize = 10000;
    EXPECT_EQ(o.filter->intersect_raw(0, {huge}, 0).status, STATUS_INVALID_BUFFER_SIZE);
    auto req = request(host::ks::kPropsetPin, host::ks::kPinDataIntersection, KSPROPERTY_TYPE_GET,
                       sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM));
    auto* items = reinterpret_cast<PKSMULTIPLE_ITEM>(req.data() + sizeof(KSP_PIN));
    items->Size = sizeof(KSMULTIPLE_ITEM);
    items->Count = 50;  // more ranges than the buffer holds
    EXPECT_EQ(o.filter->property(req, 128).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(o.filter->intersect_raw(9, {sub_b}, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(state().take().empty());
}

TEST(KsPin, StatesStepOneAtATimeAndAFailingStepLeavesThePinAtTheLastStateReached) {
    Open o;
    auto pin = o.pin(format(kSubA, 1));
    state().take();
    state().fail_step_to = KSSTATE_PAUSE;
    EXPECT_EQ(pin->set_state(KSSTATE_RUN), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pin->state(), KSSTATE_ACQUIRE);
    EXPECT_EQ(pin->kspin()->ClientState, KSSTATE_ACQUIRE);
    EXPECT_EQ(state().take(), (StrVec{"State:0->1", "State:1->2"}));
    state().fail_step_to = -1;
    EXPECT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);  // no call for the current state
    EXPECT_EQ(pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(state().take(), (StrVec{"State:1->2", "State:2->3", "State:3->2", "State:2->1", "State:1->0"}));
    // The state as the client reads it.
    auto get = pin->property(request(host::ks::kPropsetConnection, host::ks::kConnectionState, KSPROPERTY_TYPE_GET),
                             sizeof(KSSTATE));
    EXPECT_EQ(get.status, STATUS_SUCCESS);
    EXPECT_EQ(get.bytes_returned, sizeof(KSSTATE));
    EXPECT_EQ(*reinterpret_cast<const KSSTATE*>(get.data.data()), KSSTATE_STOP);
    // Closing a running pin walks it down first.
    ASSERT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    state().take();
    pin->close();
    EXPECT_EQ(state().take(), (StrVec{"State:2->1", "State:1->0", "Close"}));
    EXPECT_TRUE(state().context_ok);
}

TEST(KsStream, FramesCompleteInOrderOnlyInRunAndStopCancelsTheRest) {
    Open o;
    auto pin = o.pin(format(kSubA, 1));
    // Frames sent to a stopped pin are refused.
    EXPECT_EQ(pin->submit(4096, 128), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(pin->queued(), 0u);

    ASSERT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(pin->submit(4096, 128), STATUS_SUCCESS);
    ASSERT_EQ(pin->submit(512, 56), STATUS_SUCCESS);  // a plain header and a frame smaller than the fill
    ASSERT_TRUE(host::ks::wait_processing_idle(pin->kspin(), 10000));
    EXPECT_EQ(host::ks::process_calls(pin->kspin()), 0u);  // PAUSE: no processing for a run-only pin
    EXPECT_EQ(pin->queued(), 5u);

    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    for (uint64_t i = 0; i < 5; ++i) {
        CompletedFrame f;
        ASSERT_TRUE(pin->wait_completed(f, 10000)) << i;
        EXPECT_EQ(f.status, STATUS_SUCCESS);
        EXPECT_EQ(f.sequence, i);
        EXPECT_TRUE(f.guards_intact);
        const KSSTREAM_HEADER& h = f.stream_header();
        ULONG expected = i < 4 ? kFillBytes : 512;
        EXPECT_EQ(h.DataUsed, expected);
        ASSERT_EQ(f.data.size(), i < 4 ? 4096u : 512u);
        EXPECT_EQ(f.data[0], static_cast<uint8_t>(i));  // the counter's frame number
        EXPECT_EQ(f.data[expected - 1], static_cast<uint8_t>(i + expected - 1));
        if (i < 4) {
            EXPECT_EQ(f.data[expected], 0xCD);  // untouched past DataUsed
            ASSERT_EQ(f.header.size(), 128u);
            const auto* info = reinterpret_cast<const KS_FRAME_INFO*>(f.header.data() + sizeof(KSSTREAM_HEADER));
            EXPECT_EQ(info->ExtendedHeaderSize, 72u);
            EXPECT_EQ(info->PictureNumber, static_cast<LONGLONG>(i));
        } else {
            EXPECT_EQ(f.header.size(), 56u);
        }
    }
    EXPECT_EQ(state().process_overlaps.load(), 0);

    // Frames queued in PAUSE are cancelled, in order, when the pin stops.
    ASSERT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_TRUE(host::ks::wait_processing_idle(pin->kspin(), 10000));  // the call in flight finishes
    uint64_t calls = host::ks::process_calls(pin->kspin());
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(pin->submit(4096, 128), STATUS_SUCCESS);
    ASSERT_TRUE(host::ks::wait_processing_idle(pin->kspin(), 10000));
    EXPECT_EQ(host::ks::process_calls(pin->kspin()), calls);
    ASSERT_EQ(pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    for (uint64_t i = 5; i < 8; ++i) {
        CompletedFrame f;
        ASSERT_TRUE(pin->wait_completed(f, 10000));
        EXPECT_EQ(f.status, STATUS_CANCELLED);
        EXPECT_EQ(f.sequence, i);
        EXPECT_EQ(f.stream_header().DataUsed, 0u);
    }
    EXPECT_EQ(pin->queued(), 0u);
}

TEST(KsStream, PendingProcessingResumesOnAttemptFromAnotherThreadAndRecursiveMutexIsReported) {
    host::verifier::Capture capture;
    Open o;
    auto pin = o.pin(format(kSubA, 1));
    state().process_hold = true;
    state().process_recursive_mutex = true;
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->submit(2048, 128), STATUS_SUCCESS);
    ASSERT_EQ(pin->submit(2048, 128), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return host::ks::process_calls(pin->kspin()) >= 1; }));
    ASSERT_TRUE(host::ks::wait_processing_idle(pin->kspin(), 10000));
    // STATUS_PENDING: no further call by itself although frames are queued.
    EXPECT_EQ(host::ks::process_calls(pin->kspin()), 1u);
    EXPECT_EQ(pin->queued(), 2u);
    // Taking the processing mutex inside Process waits for itself: a stop named as a deadlock.
    ASSERT_GE(capture.count(), 1u);
    EXPECT_EQ(capture.count_containing("KsProcessingMutex: KsPinAcquireProcessingMutex: processing mutex acquired by "
                                       "the thread that already holds it (deadlock)"),
              capture.count());
    EXPECT_EQ(capture.records()[0].code, host::verifier::kDriverVerifierViolation);
    capture.clear();

    state().process_hold = false;
    state().process_recursive_mutex = false;
    std::thread other([&] {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);  // as a DPC would
        KsPinAttemptProcessing(pin->kspin(), TRUE);
    });
    other.join();
    for (int i = 0; i < 2; ++i) {
        CompletedFrame f;
        ASSERT_TRUE(pin->wait_completed(f, 10000));
        EXPECT_EQ(f.status, STATUS_SUCCESS);
        EXPECT_EQ(f.stream_header().DataUsed, kFillBytes);
    }
    // An attempt in PAUSE (gate closed) is not remembered: going back to RUN with no frames calls nothing.
    ASSERT_EQ(pin->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_TRUE(host::ks::wait_processing_idle(pin->kspin(), 10000));
    uint64_t calls = host::ks::process_calls(pin->kspin());
    KsPinAttemptProcessing(pin->kspin(), TRUE);
    ASSERT_TRUE(host::ks::wait_processing_idle(pin->kspin(), 10000));
    EXPECT_EQ(host::ks::process_calls(pin->kspin()), calls);
    EXPECT_EQ(state().process_overlaps.load(), 0);
    EXPECT_EQ(capture.count(), 0u);
}

TEST(KsStream, StreamPointerMisuseAndCallbackFaultsAreReported) {
    host::verifier::Capture capture;
    Open o;
    auto pin = o.pin(format(kSubA, 1));
    // Process leaves the edge locked: reported at stop; the locked frame is not cancelled
    // until close, the others are.
    state().process_leave_locked = true;
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->submit(1024, 56), STATUS_SUCCESS);
    ASSERT_EQ(pin->submit(1024, 56), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return host::ks::process_calls(pin->kspin()) >= 1; }));
    ASSERT_TRUE(host::ks::wait_processing_idle(pin->kspin(), 10000));
    ASSERT_EQ(pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(capture.count_containing("KsStreamPointerUnlock: leading edge still locked at stop"), 1u);
    CompletedFrame f;
    ASSERT_TRUE(pin->wait_completed(f, 10000));
    EXPECT_EQ(f.sequence, 1u);
    EXPECT_EQ(f.status, STATUS_CANCELLED);
    EXPECT_EQ(pin->queued(), 1u);
    // A second locked get on the locked edge is a lock diagnostic and returns the same pointer.
    PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin->kspin(), KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(capture.count_containing("KsStreamPointerLock: leading edge locked while already locked"), 1u);
    // Advance past the last frame: the frame completes, the pointer is left unlocked on nothing.
    EXPECT_EQ(KsStreamPointerAdvance(sp), STATUS_DEVICE_NOT_READY);
    ASSERT_TRUE(pin->wait_completed(f, 10000));
    EXPECT_EQ(f.sequence, 0u);
    EXPECT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin->kspin(), KSSTREAM_POINTER_STATE_LOCKED), nullptr);
    KsStreamPointerUnlock(sp, FALSE);  // not locked: reported
    EXPECT_EQ(capture.count_containing("KsStreamPointerLock: unlock of a stream pointer that is not locked"), 1u);
    EXPECT_EQ(capture.count(), 3u);

    // A Process that returns at DISPATCH_LEVEL and a callback over the (configurable) limit.
    state().process_leave_locked = false;
    state().process_leave_irql_raised = true;
    host::ks::set_callback_time_limit_ms(0);
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->submit(1024, 56), STATUS_SUCCESS);
    ASSERT_TRUE(pin->wait_completed(f, 10000));
    ASSERT_TRUE(host::ks::wait_processing_idle(pin->kspin(), 10000));
    EXPECT_GE(capture.count_containing("KsCallbackIrql: pin Process returned at IRQL 2, entered at 0"), 1u);
    // One that returns after KeSetEvent(..., Wait = TRUE) without the wait it owes: named for what
    // it is rather than as a mere change of IRQL.
    state().process_leave_irql_raised = false;
    state().process_sets_event_waiting = true;
    capture.clear();
    ASSERT_EQ(pin->submit(1024, 56), STATUS_SUCCESS);
    ASSERT_TRUE(pin->wait_completed(f, 10000));
    ASSERT_TRUE(host::ks::wait_processing_idle(pin->kspin(), 10000));
    state().process_sets_event_waiting = false;
    EXPECT_EQ(capture.count_containing("pin Process returned after KeSetEvent with Wait TRUE without the KeWaitXxx "
                                       "call that must follow it"),
              capture.count());
    EXPECT_GE(capture.count(), 1u);
    EXPECT_EQ(capture.count_containing("returned at IRQL"), 0u);
    // Time over the limit is measured, not a stop.
    EXPECT_GE(host::verifier::count_overruns("KsCallbackDuration"), 1u);
    host::ks::set_callback_time_limit_ms(500);
    host::verifier::clear_overruns();
    host::ks::set_processing_mutex_limit_ms(0);
    state().process_leave_irql_raised = false;
    ASSERT_EQ(pin->submit(1024, 56), STATUS_SUCCESS);
    ASSERT_TRUE(pin->wait_completed(f, 10000));
    ASSERT_TRUE(host::ks::wait_processing_idle(pin->kspin(), 10000));
    bool named = false;
    for (const auto& o : host::verifier::overruns())
        named = named || (o.rule == "KsProcessingMutexHold" && o.name == "pin Process" && o.count >= 1);
    EXPECT_TRUE(named);
    host::ks::set_processing_mutex_limit_ms(100);
    host::verifier::clear_overruns();
    state().process_leave_irql_raised = false;
    pin->close();
}

TEST(KsProperty, SizesAreCheckedBeforeTheHandlerAndNodesAreAddressedById) {
    Open o;
    auto counter = request(kPropset, kPropCounter, KSPROPERTY_TYPE_GET, sizeof(KSP_PIN));
    reinterpret_cast<PKSP_PIN>(counter.data())->PinId = 5;  // read by the handler from the request's tail
    state().counter = 10;

    auto r = o.filter->property(counter, 0);  // size query
    EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.bytes_returned, sizeof(ULONGLONG));
    EXPECT_EQ(o.filter->property(counter, 4).status, STATUS_BUFFER_TOO_SMALL);
    auto short_input = counter;
    short_input.resize(sizeof(KSPROPERTY));
    EXPECT_EQ(o.filter->property(short_input, 8).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(o.filter->property(std::vector<uint8_t>(16, 0), 8).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(o.filter->property(request(kOther, 1, KSPROPERTY_TYPE_GET), 8).status, STATUS_PROPSET_NOT_FOUND);
    EXPECT_EQ(o.filter->property(request(kPropset, 9, KSPROPERTY_TYPE_GET), 8).status, STATUS_NOT_FOUND);
    EXPECT_EQ(o.filter->property(request(kPropset, kPropCounter, KSPROPERTY_TYPE_SET, sizeof(KSP_PIN)), 8).status,
              STATUS_INVALID_DEVICE_REQUEST);  // no SET handler
    EXPECT_EQ(state().property_handler_calls.load(), 0u);

    r = o.filter->property(counter, 16);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes_returned, 8u);
    EXPECT_EQ(*reinterpret_cast<const ULONGLONG*>(r.data.data()), 15u);
    // A handler that does not set Information returns no data to user mode.
    r = o.filter->property(request(kPropset, kPropSilent, KSPROPERTY_TYPE_GET), 4, {0xEE, 0xEE, 0xEE, 0xEE});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes_returned, 0u);
    EXPECT_EQ(r.data, (std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0xEE}));
    // ks.sys copies the caller's buffer in only for SET: a GET handler never sees those bytes.
    EXPECT_NE(state().silent_output_seen.load(), 0xEEEEEEEEu);
    EXPECT_EQ(state().property_handler_calls.load(), 2u);

    // Basic support is answered by the class from the item.
    r = o.filter->property(request(kPropset, kPropCounter, KSPROPERTY_TYPE_BASICSUPPORT), sizeof(ULONG));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(*reinterpret_cast<const ULONG*>(r.data.data()), ULONG(KSPROPERTY_TYPE_GET));

    // Node properties: node 1 has the set, node 0 has none, node 5 does not exist; a pin
    // handle reaches the filter's nodes too.
    auto node1 = qh::client::make_node_property(kNodeSet, kNodeProp, KSPROPERTY_TYPE_GET, 1);
    r = o.filter->property(node1, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(*reinterpret_cast<const ULONG*>(r.data.data()), 101u);
    EXPECT_EQ(o.filter->property(qh::client::make_node_property(kNodeSet, kNodeProp, KSPROPERTY_TYPE_GET, 0), 4).status,
              STATUS_PROPSET_NOT_FOUND);
    EXPECT_EQ(o.filter->property(qh::client::make_node_property(kNodeSet, kNodeProp, KSPROPERTY_TYPE_GET, 5), 4).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(o.filter->property(node1, 0).bytes_returned, sizeof(ULONG));
    auto pin = o.pin(format(kSubA, 1));
    EXPECT_EQ(pin->property(node1, 4).status, STATUS_SUCCESS);
    // The filter's own set is not a pin property.
    EXPECT_EQ(pin->property(counter, 8).status, STATUS_PROPSET_NOT_FOUND);
    EXPECT_TRUE(state().context_ok);
}

TEST(KsClock, NoClockLeavesTheSlotAloneAndAnAssignedClockAdvancesAndIsReferenceCounted) {
    host::verifier::Capture capture;
    Open o;
    auto pin = o.pin(format(kSubA, 1));
    state().take_clock = true;
    ASSERT_EQ(pin->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(state().last_clock_status.load(), STATUS_DEVICE_NOT_READY);
    ASSERT_EQ(pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);

    auto clock = qh::client::make_clock();
    ASSERT_EQ(pin->set_master_clock(clock), STATUS_SUCCESS);
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(state().last_clock_status.load(), STATUS_SUCCESS);
    EXPECT_EQ(clock->outstanding_references(), 1u);
    EXPECT_EQ(pin->set_master_clock(nullptr), STATUS_INVALID_DEVICE_STATE);  // only in STOP
    clock->run();
    CompletedFrame first, second;
    ASSERT_EQ(pin->submit(1024, 128), STATUS_SUCCESS);
    ASSERT_TRUE(pin->wait_completed(first, 10000));
    int64_t t0 = first.stream_header().PresentationTime.Time;
    ASSERT_TRUE(wait_until([&] { return clock->stream_time() > t0; }));
    ASSERT_EQ(pin->submit(1024, 128), STATUS_SUCCESS);
    ASSERT_TRUE(pin->wait_completed(second, 10000));
    EXPECT_TRUE(first.stream_header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID);
    EXPECT_GT(second.stream_header().PresentationTime.Time, t0);
    // Paused, the stream time stands still.
    clock->pause();
    int64_t frozen = clock->stream_time();
    EXPECT_EQ(clock->stream_time(), frozen);

    ASSERT_EQ(pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(clock->outstanding_references(), 0u);
    EXPECT_EQ(capture.count(), 0u);

    // A driver that keeps its reference past close is reported.
    state().release_clock = false;
    ASSERT_EQ(pin->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(clock->outstanding_references(), 1u);
    pin->close();
    EXPECT_EQ(capture.count_containing("KsClockReference: clock interface still referenced at pin close"), 1u);
    EXPECT_EQ(capture.count(), 1u);
}

TEST(KsRules, EdgeLockedAtCloseAndACallbackKeepingAKernelMutexAreStopped) {
    host::verifier::Capture capture;
    Open o;
    auto pin = o.pin(format(kSubA, 1));
    // Closed while Process keeps the edge locked: reported at the walk down to STOP and again
    // at close (on Windows the close would never complete).
    state().process_leave_locked = true;
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->submit(1024, 56), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return host::ks::process_calls(pin->kspin()) >= 1; }));
    ASSERT_TRUE(host::ks::wait_processing_idle(pin->kspin(), 10000));
    pin->close();
    EXPECT_EQ(capture.count_containing("KsStreamPointerUnlock: leading edge still locked at stop"), 1u);
    EXPECT_EQ(capture.count_containing("KsStreamPointerUnlock: leading edge still locked at close"), 1u);
    EXPECT_EQ(capture.count(), 2u);
    capture.clear();

    // A SetDeviceState that returns owning a kernel mutex (APC-disable count changed).
    state().process_leave_locked = false;
    auto second = o.pin(format(kSubA, 1));
    state().state_keeps_mutex = true;
    EXPECT_EQ(second->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(capture.count_containing("KsCallbackMutex: pin SetDeviceState returned owning 1 kernel mutexes, "
                                       "entered owning 0"),
              1u);
    EXPECT_EQ(capture.count(), 1u);
    state().state_keeps_mutex = false;
    KeReleaseMutex(held_mutex(), FALSE);  // the request ran in this thread, which owns it now
    EXPECT_EQ(second->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(capture.count(), 1u);
}

TEST(KsRules, ServicesAboveTheirIrqlAndEditsWithoutTheControlMutexAreStopped) {
    host::verifier::Capture capture;
    Open o;
    auto pin = o.pin(format(kSubA, 1));
    {
        host::ScopedIrql device_level(5);  // as the interrupt service routine
        KsPinAttemptProcessing(pin->kspin(), TRUE);
        EXPECT_EQ(capture.count_containing("KsIrql: KsPinAttemptProcessing called at IRQL 5"), 1u);
    }
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        PVOID item = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->kspin()->Descriptor);
        _KsEdit(pin->kspin()->Bag, &item, sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), 0x74736554);
        EXPECT_EQ(capture.count_containing("KsIrql: _KsEdit called at IRQL 2"), 1u);
        // KsGetDevice at DISPATCH_LEVEL is a pointer walk Windows lets pass: a diagnostic only.
        EXPECT_NE(KsGetDevice(pin->kspin()), nullptr);
        EXPECT_EQ(host::verifier::count_diagnostics("ks: KsGetDeviceIrql"), 1u);
        host::verifier::clear_diagnostics();
    }
    // The edit above was also made without the filter control mutex, as is one from Process.
    EXPECT_EQ(capture.count_containing("KsEdit: _KsEdit on a pin or filter bag without holding the filter control "
                                       "mutex"),
              1u);
    state().process_edit_descriptor = true;
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->submit(1024, 56), STATUS_SUCCESS);
    CompletedFrame f;
    ASSERT_TRUE(pin->wait_completed(f, 10000));
    EXPECT_EQ(capture.count_containing("KsEdit: "), 2u);
    state().process_edit_descriptor = false;
    // SetDataFormat's edits (under the control mutex) are not reported.
    EXPECT_EQ(pin->set_state(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(pin->set_format(format(kSubB, 2)), STATUS_SUCCESS);
    EXPECT_EQ(capture.count(), 4u);
}

TEST(KsRules, AClosedPinsClockInterfaceAndMemoryAreDead) {
    {
        host::verifier::Capture capture;
        Open o;
        auto pin = o.pin(format(kSubA, 1));
        auto clock = qh::client::make_clock();
        ASSERT_EQ(pin->set_master_clock(clock), STATUS_SUCCESS);
        state().take_clock = true;
        state().release_clock = false;
        ASSERT_EQ(pin->set_state(KSSTATE_ACQUIRE), STATUS_SUCCESS);
        PIKSREFERENCECLOCK kept = held_clock();
        ASSERT_NE(kept, nullptr);
        pin->close();
        EXPECT_EQ(capture.count_containing("KsClockReference: clock interface still referenced at pin close"), 1u);
        kept->GetTime();
        kept->Release();
        EXPECT_EQ(capture.count_containing("KsClockReference: GetTime on a clock interface whose pin has closed"), 1u);
        EXPECT_EQ(capture.count_containing("KsClockReference: Release on a clock interface whose pin has closed"), 1u);
        // Class services given the closed pin refuse it by name.
        PKSPIN closed = pin->kspin();
        EXPECT_EQ(KsPinGetParentFilter(closed), nullptr);
        EXPECT_EQ(capture.count_containing("KsInvalidObject: "), 1u);
        EXPECT_EQ(capture.count(), 4u);
    }
    // Touching the closed pin's own memory faults at once: a stop without a capture (or the
    // address sanitizer's report in that build).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Open o;
    auto pin = o.pin(format(kSubA, 1));
    PKSPIN closed = pin->kspin();
    pin->close();
    EXPECT_DEATH({ (void)*static_cast<volatile ULONG*>(&closed->Id); },
                 "memory of a closed pin touched|use-after-poison");
}

TEST(KsRules, StreamHeaderDataIsTheClientsAddressAndOnlyOffsetOutIsTheKernels) {
    host::verifier::Capture capture;
    Open o;
    auto pin = o.pin(format(kSubA, 1));
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    // Through the stream pointer's mapping the client gets its bytes.
    ASSERT_EQ(pin->submit(4096, 56), STATUS_SUCCESS);
    CompletedFrame f;
    ASSERT_TRUE(pin->wait_completed(f, 10000));
    ASSERT_EQ(f.stream_header().DataUsed, kFillBytes);
    EXPECT_EQ(f.data[0], 0u);
    EXPECT_EQ(f.data[999], static_cast<uint8_t>(999));
    EXPECT_EQ(capture.count(), 0u);
    // A Process that writes through StreamHeader->Data touches a user-mode address: a stop.
    state().process_writes_user_address = true;
    ASSERT_EQ(pin->submit(4096, 56), STATUS_SUCCESS);
    ASSERT_TRUE(pin->wait_completed(f, 10000));
    ASSERT_GE(capture.count(), 1u);
    EXPECT_EQ(capture.records()[0].code, host::verifier::kPageFaultInNonPagedArea);
    EXPECT_EQ(capture.count_containing("user-mode address of a stream buffer (StreamHeader->Data) touched by kernel "
                                       "code"),
              capture.count());
    state().process_writes_user_address = false;
}

TEST(KsRules, AHeaderWrittenAfterItsFrameCompletedIsAStopAndTheClientsCopyKeepsTheDriversAnswer) {
    host::verifier::Capture capture;
    Open o;
    auto pin = o.pin(format(kSubA, 1));
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    state().process_writes_old_header = true;
    ASSERT_EQ(pin->submit(4096, 56), STATUS_SUCCESS);
    CompletedFrame first;
    ASSERT_TRUE(pin->wait_completed(first, 10000));
    EXPECT_EQ(capture.count(), 0u);
    // The next Process call writes into the header of the frame it completed before: that
    // header lived in the request's system buffer, gone with the request.
    ASSERT_EQ(pin->submit(4096, 56), STATUS_SUCCESS);
    CompletedFrame second;
    ASSERT_TRUE(pin->wait_completed(second, 10000));
    state().process_writes_old_header = false;
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_EQ(capture.records()[0].code, host::verifier::kPageFaultInNonPagedArea);
    EXPECT_EQ(capture.count_containing("stream header of a completed read request touched"), 1u);
    EXPECT_EQ(first.stream_header().OptionsFlags & 0x40, 0u);
    EXPECT_EQ(first.stream_header().DataUsed, kFillBytes);
}

TEST(KsRules, FrameDataTouchedThroughItsMappingAfterCompletionIsAStopWhileTheClientKeepsWhatWasWritten) {
    host::verifier::Capture capture;
    Open o;
    auto pin = o.pin(format(kSubA, 1));
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    for (int touch : {1, 2}) {  // a write, then a read
        SCOPED_TRACE(touch == 1 ? "write" : "read");
        capture.clear();
        state().process_touches_old_data = touch;
        ASSERT_EQ(pin->submit(8192, 56), STATUS_SUCCESS);
        CompletedFrame first;
        ASSERT_TRUE(pin->wait_completed(first, 10000));
        EXPECT_EQ(capture.count(), 0u);
        // The driver wrote through its own mapping; the client's memory holds those bytes.
        ASSERT_EQ(first.stream_header().DataUsed, kFillBytes);
        for (ULONG i : {ULONG(0), ULONG(1), kFillBytes - 1})
            EXPECT_EQ(first.data[i], static_cast<uint8_t>(first.data[0] + i)) << i;
        EXPECT_TRUE(first.guards_intact);
        // The next Process call goes back to the data of the frame it completed before.
        ASSERT_EQ(pin->submit(8192, 56), STATUS_SUCCESS);
        CompletedFrame second;
        ASSERT_TRUE(pin->wait_completed(second, 10000));
        state().process_touches_old_data = 0;
        ASSERT_EQ(capture.count(), 1u);
        EXPECT_EQ(capture.records()[0].code, host::verifier::kPageFaultInNonPagedArea);
        EXPECT_EQ(capture.count_containing("data buffer of a completed frame touched through its system mapping"), 1u);
        // The stale mapping reaches none of the client's pages any more.
        if (touch == 2) {
            EXPECT_EQ(state().old_data_read.load(), 0);
        }
        EXPECT_EQ(second.stream_header().DataUsed, kFillBytes);
        EXPECT_EQ(second.data[0], static_cast<uint8_t>(first.data[0] + 1));
    }
}

TEST(KsStream, WithoutAsynchronousProcessingArrivalAndSynchronousAttemptsRunProcessInTheCallingThread) {
    Open o;
    set_capture_pin_flags(KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_USE_STANDARD_TRANSPORT);
    auto pin = o.pin(format(kSubA, 1));
    const uint64_t me = host::thread_id();
    ASSERT_EQ(pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    // A frame arriving: Process runs inside the submission, so the frame is back on return.
    ASSERT_EQ(pin->submit(2048, 128), STATUS_SUCCESS);
    CompletedFrame f;
    ASSERT_TRUE(pin->wait_completed(f, 0));
    EXPECT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(state().process_thread.load(), me);

    // KsPinAttemptProcessing(pin, FALSE) at PASSIVE_LEVEL runs it here too.
    state().process_hold = true;
    ASSERT_EQ(pin->submit(2048, 128), STATUS_SUCCESS);
    EXPECT_FALSE(pin->wait_completed(f, 0));
    state().process_hold = false;
    state().process_thread = 0;
    KsPinAttemptProcessing(pin->kspin(), FALSE);
    ASSERT_TRUE(pin->wait_completed(f, 0));
    EXPECT_EQ(state().process_thread.load(), me);

    // From DISPATCH_LEVEL (a DPC) a passive pin's attempt becomes work at PASSIVE_LEVEL elsewhere,
    // and an asynchronous attempt never runs in the caller.
    for (BOOLEAN asynchronous : {FALSE, TRUE}) {
        state().process_hold = true;
        ASSERT_EQ(pin->submit(2048, 128), STATUS_SUCCESS);
        state().process_hold = false;
        state().process_thread = 0;
        if (asynchronous) {
            KsPinAttemptProcessing(pin->kspin(), TRUE);
        } else {
            host::ScopedIrql dispatch(DISPATCH_LEVEL);
            KsPinAttemptProcessing(pin->kspin(), FALSE);
        }
        ASSERT_TRUE(pin->wait_completed(f, 10000));
        EXPECT_NE(state().process_thread.load(), 0u);
        EXPECT_NE(state().process_thread.load(), me);
    }
    EXPECT_EQ(state().process_overlaps.load(), 0);
    pin->close();

    // With KSPIN_FLAG_ASYNCHRONOUS_PROCESSING an arriving frame is processed in another thread.
    set_capture_pin_flags(KSPIN_FLAG_ASYNCHRONOUS_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY |
                          KSPIN_FLAG_USE_STANDARD_TRANSPORT);
    auto async_pin = o.pin(format(kSubA, 1));
    ASSERT_EQ(async_pin->set_state(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(async_pin->submit(2048, 128), STATUS_SUCCESS);
    ASSERT_TRUE(async_pin->wait_completed(f, 10000));
    EXPECT_NE(state().process_thread.load(), me);
}
