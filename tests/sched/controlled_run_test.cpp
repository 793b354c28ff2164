// The whole host under a controlled schedule: kernel, class layer, bus, card (paced on the run's
// virtual clock), test bed and client, one thread at a time as a seeded strategy picks them. A
// capture that completes frames, stops cleanly and leaks nothing shows that nothing in the host
// blocks outside the scheduler; running the same strategy again and getting the same steps and
// switches shows that the run replays.
//
// Each run happens in a forked child: a controlled process cannot go back to real mode, and the
// parent must stay free of the host's threads (a child would inherit the start-once flags of
// threads that do not exist in it).
#include "driver/public.h"
#include "platform/host/diag/verifier.h"
#include "platform/host/sched/sched.h"
#include "testbed/testbed.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kChildTimeoutMs = 120000;  // a hang of the controlled run is a failure, not a stall
constexpr uint32_t kFrames = 5;

// In the child: reports what went wrong on standard output (the parent shows it) and ends.
[[noreturn]] void child_fails(const std::string& why) {
    const std::string line = "FAIL " + why + "\n";
    ssize_t ignored = ::write(1, line.data(), line.size());
    (void)ignored;
    _exit(1);
}

uint64_t fnv1a(const std::string& text) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

// The child's whole life: a controlled run of one capture on input 0.
[[noreturn]] void controlled_capture(const std::string& schedule) {
    host::sched::Options options;
    std::string error;
    if (!host::sched::parse(schedule, options.strategy, error)) child_fails(error);
    host::sched::begin(options);
    {
        qh::TestbedOptions bed_options;
        bed_options.card = sim::Card::default_config();
        bed_options.card.sources[0] = *sim::parse_source("1280x720p60");
        for (uint32_t n = 1; n < bed_options.card.sources.size(); ++n)
            bed_options.card.sources[n] = *sim::parse_source("none");
        bed_options.card.pacing = sim::Pacing::Realtime;
        qh::Testbed bed(bed_options);
        if (bed.start_status() != STATUS_SUCCESS) child_fails("the device did not start");
        {
            qh::client::Device& device = bed.client();
            std::unique_ptr<qh::client::Filter> filter;
            for (const auto& info : device.filters())
                if (IsEqualGUID(info.reference, kRefVideo0) && device.open_filter(info.index, filter) != STATUS_SUCCESS)
                    child_fails("the video filter of input 0 did not open");
            if (!filter) child_fails("no video filter for input 0");
            const auto pins = filter->pins();
            if (pins.empty() || pins[0].ranges.empty()) child_fails("the video pin has no formats");
            std::vector<uint8_t> format;
            if (filter->intersect(0, {pins[0].ranges[0]}, format) != STATUS_SUCCESS)
                child_fails("no format for the detected signal");
            const auto& video = *reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
            const uint32_t image = video.VideoInfoHeader.bmiHeader.biSizeImage;
            if (image != 1280u * 720u * 2u)
                child_fails("the detected format is not 1280x720: " + std::to_string(image));
            std::unique_ptr<qh::client::Pin> pin;
            if (filter->create_pin(0, format, pin) != STATUS_SUCCESS || !pin) child_fails("the pin was not created");
            if (pin->set_state(KSSTATE_RUN) != STATUS_SUCCESS) child_fails("the pin did not run");
            for (int i = 0; i < 3; ++i)
                if (pin->submit(image, 128) != STATUS_SUCCESS) child_fails("a buffer was refused");
            uint32_t good = 0;
            while (good < kFrames) {
                qh::client::CompletedFrame frame;
                if (!pin->wait_completed(frame, 10000))
                    child_fails("no frame in 10 s of virtual time after " + std::to_string(good));
                if (frame.status != STATUS_SUCCESS || !frame.guards_intact)
                    child_fails("frame " + std::to_string(good) + " came back failed or overwritten");
                if (frame.stream_header().DataUsed == image) ++good;
                if (pin->submit(image, 128) != STATUS_SUCCESS) child_fails("a buffer was refused");
            }
            if (pin->set_state(KSSTATE_STOP) != STATUS_SUCCESS) child_fails("the pin did not stop");
            if (pin->close() != STATUS_SUCCESS) child_fails("the pin did not close");
            pin.reset();
            if (filter->close() != STATUS_SUCCESS) child_fails("the filter did not close");
        }
    }  // the test bed's destructor removes the device and checks for leaks
    if (host::verifier::diagnostic_count() != 0) {
        std::string list;
        for (const auto& d : host::verifier::diagnostics())
            list += " | " + d;
        child_fails("the verifier recorded diagnostics:" + list);
    }
    const std::string report = "steps " + std::to_string(host::sched::steps()) + " trace " +
                               std::to_string(fnv1a(host::sched::trace())) + "\n";
    ssize_t ignored = ::write(1, report.data(), report.size());
    (void)ignored;
    _exit(0);
}

struct ChildResult {
    bool finished = false;  // false: killed at the time-out
    int status = -1;        // exit status when it exited
    std::string output;     // what it wrote to standard output
};

ChildResult run_child(const std::string& schedule) {
    ChildResult result;
    int out[2];
    if (::pipe(out) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return result;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return result;
    }
    if (pid == 0) {
        ::close(out[0]);
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);  // a stopped run's report goes to the parent too
        controlled_capture(schedule);
    }
    ::close(out[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kChildTimeoutMs);
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            result.finished = true;  // end of output: the child ended
            break;
        }
        result.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    if (!result.finished) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (result.finished && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (result.finished && WIFSIGNALED(status)) result.output += "killed by signal " + std::to_string(WTERMSIG(status));
    return result;
}

// A strategy run twice: both runs capture, and the second replays the first step for step.
void capture_and_replay(const std::string& schedule) {
    SCOPED_TRACE(schedule);
    const ChildResult first = run_child(schedule);
    ASSERT_TRUE(first.finished) << "the controlled run hung; output so far:\n" << first.output;
    ASSERT_EQ(first.status, 0) << first.output;
    ASSERT_EQ(first.output.rfind("steps ", 0), 0u) << first.output;
    std::printf("%s: %s", schedule.c_str(), first.output.c_str());
    const ChildResult again = run_child(schedule);
    ASSERT_TRUE(again.finished) << "the replay hung; output so far:\n" << again.output;
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(again.output, first.output) << "the same strategy did not replay the same run";
}

TEST(Schedule, ControlledCaptureRunsAndReplays) {
    capture_and_replay("random:7");
    capture_and_replay("pct:11:3");
}

}  // namespace
