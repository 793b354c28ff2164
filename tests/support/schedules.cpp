#include "tests/support/schedules.h"

#include "platform/host/diag/verifier.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qh::schedules {

namespace {

bool read_number(const char* text, uint64_t& out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno || !end || *end || text[0] == '-') return false;
    out = v;
    return true;
}

// FNV-1a of the trace text: equal runs print equal traces.
std::string hash_of(const std::string& text) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text)
        h = (h ^ c) * 1099511628211ULL;
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

[[noreturn]] void child(const host::sched::Options& options, const std::function<void()>& scenario) {
    host::sched::begin(options);
    scenario();
    if (host::verifier::diagnostic_count() != 0) {
        std::string list;
        for (const auto& d : host::verifier::diagnostics())
            list += "\n  " + d;
        host::sched::fail("verifier diagnostic(s) recorded:" + list, 77);
    }
    const std::string report = "schedule passed: steps " + std::to_string(host::sched::steps()) + " trace " +
                               hash_of(host::sched::trace()) + " focused " +
                               std::to_string(host::sched::focused_steps()) + "\n";
    ssize_t ignored = ::write(1, report.data(), report.size());
    (void)ignored;
    _exit(0);
}

void parse_report(Outcome& o) {
    const char* key = "schedule passed: steps ";
    const size_t at = o.output.rfind(key);
    if (at == std::string::npos) return;
    unsigned long long steps = 0, focused = 0;
    char hash[32] = {};
    if (std::sscanf(o.output.c_str() + at + std::strlen(key), "%llu trace %31s focused %llu", &steps, hash, &focused) ==
        3) {
        o.steps = steps;
        o.focused_steps = focused;
        o.trace_hash = hash;
    }
}

}  // namespace

host::sched::Options Plan::options(const host::sched::Strategy& strategy) const {
    host::sched::Options o;
    o.strategy = strategy;
    if (expected_steps) o.expected_steps = expected_steps;
    if (step_limit) o.step_limit = step_limit;
    if (trace_length) o.trace_length = trace_length;
    return o;
}

std::string Plan::replay_hint(const host::sched::Strategy& strategy) const {
    std::string hint = "QH_SCHEDULE=" + host::sched::describe(strategy);
    if (expected_steps) hint += " QH_SCHEDULE_STEPS=" + std::to_string(expected_steps);
    return hint;
}

bool set_kind(std::string_view kind, Plan& plan) {
    // The kind is a strategy without its seed: "random", "pct:DEPTH", either with ":DELAYS".
    const std::string text(kind);
    const size_t colon = text.find(':');
    const std::string with_seed =
        colon == std::string::npos ? text + ":0" : text.substr(0, colon) + ":0" + text.substr(colon);
    host::sched::Strategy s;
    std::string ignored;
    if (!host::sched::parse(with_seed, s, ignored)) return false;
    plan.kind = s.kind;
    plan.depth = s.depth;
    plan.delays = s.delays;
    return true;
}

bool plan_from_environment(uint64_t default_count, Plan& plan, std::string& error) {
    plan.count = default_count;
    if (const char* text = std::getenv("QH_SCHEDULE"); text && *text) {
        host::sched::Strategy s;
        if (!host::sched::parse(text, s, error)) return false;
        plan.replay = s;
    }
    if (const char* text = std::getenv("QH_SCHEDULES"); text && *text && !read_number(text, plan.count)) {
        error = std::string("unreadable QH_SCHEDULES \"") + text + "\"";
        return false;
    }
    if (const char* text = std::getenv("QH_SCHEDULE_FIRST"); text && *text && !read_number(text, plan.first_seed)) {
        error = std::string("unreadable QH_SCHEDULE_FIRST \"") + text + "\"";
        return false;
    }
    if (const char* text = std::getenv("QH_SCHEDULE_KIND"); text && *text && !set_kind(text, plan)) {
        error = std::string("unreadable QH_SCHEDULE_KIND \"") + text +
                "\": expected random or pct:DEPTH, optionally with :DELAYS";
        return false;
    }
    if (const char* text = std::getenv("QH_SCHEDULE_TRACE"); text && *text && !read_number(text, plan.trace_length)) {
        error = std::string("unreadable QH_SCHEDULE_TRACE \"") + text + "\"";
        return false;
    }
    if (const char* text = std::getenv("QH_SCHEDULE_STEPS"); text && *text && !read_number(text, plan.expected_steps)) {
        error = std::string("unreadable QH_SCHEDULE_STEPS \"") + text + "\"";
        return false;
    }
    return true;
}

Outcome run_one(const host::sched::Options& options, const std::function<void()>& scenario,
                std::chrono::seconds timeout) {
    const host::sched::Strategy& strategy = options.strategy;
    Outcome o;
    o.strategy = strategy;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        o.status = -1;
        o.output = std::string("pipe: ") + std::strerror(errno);
        return o;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        o.status = -1;
        o.output = std::string("fork: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return o;
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        // The run ends with _exit: nothing may wait in a buffer.
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        child(options, scenario);
    }
    close(fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool timed_out = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char buf[4096];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        // Keep the end: a long run's useful part is its last lines.
        o.output.append(buf, static_cast<size_t>(n));
        if (o.output.size() > (1u << 20)) o.output.erase(0, o.output.size() - (1u << 19));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (timed_out) {
        o.status = -2;
        o.output += "\n(schedule " + host::sched::describe(strategy) + " still running after " +
                    std::to_string(timeout.count()) + " s: killed as a hang)";
    } else if (WIFEXITED(status)) {
        o.status = WEXITSTATUS(status);
    } else {
        o.status = 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        o.output += "\n(ended by signal " + std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0) + ")";
    }
    parse_report(o);
    return o;
}

Exploration explore(const Plan& given, const std::function<void()>& scenario) {
    Exploration e;
    Plan plan = given;
    if (plan.expected_steps == 0 && (plan.replay ? plan.replay->kind : plan.kind) == host::sched::Strategy::Kind::Pct) {
        // PCT spreads its change points over a run's length: learn it from one random schedule
        // (always the same one, so a replay learns the same length).
        Outcome probe = run_one(plan.options(host::sched::Strategy{host::sched::Strategy::Kind::Random, 0, 1}),
                                scenario, plan.timeout);
        ++e.runs;
        if (!probe.passed()) {
            e.failure = probe;
            return e;
        }
        plan.expected_steps = std::max<uint64_t>(probe.focused_steps, 1);
    }
    e.expected_steps = plan.expected_steps;
    if (plan.replay) {
        Outcome o = run_one(plan.options(*plan.replay), scenario, plan.timeout);
        ++e.runs;
        if (!o.passed())
            e.failure = o;
        else
            e.max_steps = o.steps;
        return e;
    }
    for (uint64_t i = 0; i < plan.count; ++i) {
        host::sched::Strategy s;
        s.kind = plan.kind;
        s.seed = plan.first_seed + i;
        s.depth = plan.depth;
        s.delays = plan.delays;
        Outcome o = run_one(plan.options(s), scenario, plan.timeout);
        ++e.runs;
        if (!o.passed()) {
            e.failure = o;
            return e;
        }
        e.max_steps = std::max(e.max_steps, o.steps);
    }
    return e;
}

void check(bool ok, const std::string& what) {
    if (!ok) host::sched::fail("check failed: " + what, 78);
}

namespace {
// A failed run's report: from the scheduler's first line on (what the scenario printed before may
// hold addresses).
std::string report_of(const std::string& output) {
    const size_t at = output.find("schedule: ");
    return at == std::string::npos ? output : output.substr(at);
}
}  // namespace

bool same_run(const Outcome& a, const Outcome& b) {
    return a.status == b.status && a.steps == b.steps && a.trace_hash == b.trace_hash &&
           (a.passed() || report_of(a.output) == report_of(b.output));
}

}  // namespace qh::schedules
