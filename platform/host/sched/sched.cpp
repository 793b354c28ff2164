// One thread at a time, chosen by a strategy: see sched.h. The threads of a controlled run are
// real threads; each parks on its own condition variable under the run's one lock until the
// scheduler hands it control, so the order of everything they do is the scheduler's alone.
#include "platform/host/sched/sched.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <sstream>
#include <vector>

namespace host::sched {

namespace detail {
bool g_controlled = false;
}

namespace {

constexpr int64_t kNever = INT64_MAX;
// Where virtual time starts: a fixed value, so that everything computed from the clock (tick
// boundaries, expiries) is the same in every run of a seed.
constexpr int64_t kVirtualOrigin = 1'000'000'000'000'000'000;  // about 31 years

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// SplitMix64: small, fast, and the same sequence on every platform and standard library.
struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return n ? next() % n : 0; }
};

enum class State { Runnable, Blocked, Finished };

struct Rec {
    int id = 0;
    std::string name;
    State state = State::Runnable;
    const void* on = nullptr;  // what it is blocked on: a Mutex, a CondVar, a Rec (join); null: time
    const char* on_kind = "";
    int64_t deadline = kNever;
    uint64_t blocked_seq = 0;  // order of blocking, for FIFO notification
    bool timed_out = false;
    int64_t priority = 0;  // PCT
    bool never_delayed = false;
    int64_t owed_delay_ns = 0;  // a preemption drawn for this thread, taken where its level allows
    const char* what = "start";
    Where where;
    std::condition_variable go;
};

struct Switch {
    uint64_t step;
    int64_t now_ns;
    int from;
    int to;
    const char* what;
    const char* file;
    unsigned line;
};

struct World {
    std::mutex mu;
    Options options;
    Rng rng{0};
    std::vector<std::unique_ptr<Rec>> threads;
    Rec* running = nullptr;
    std::atomic<int64_t> now_ns{0};
    std::atomic<uint64_t> steps{0};
    uint64_t block_seq = 0;
    std::vector<uint64_t> change_points;  // PCT, sorted
    size_t next_change = 0;
    std::vector<uint64_t> delay_points;  // preemptions, sorted
    size_t next_delay = 0;
    uint32_t unassigned_delays = 0;
    int64_t delayed_ns = 0;  // preemptions taken so far  // drawn while a thread that is never delayed ran
    Level (*level_source)() = nullptr;
    uint64_t focus_step = 0;      // change points count from here (focus())
    uint64_t focus_end_step = 0;  // where the part of interest ended (end_focus()); 0 while it runs on
    int64_t spin_floor = 0;       // PCT: below every priority handed out so far
    int64_t start_ns = 0;         // virtual time at begin(); traces count from it
    std::deque<Switch> trace;
};

World& world() {
    static World* w = new World;  // outlives every thread; a controlled process ends with _exit
    return *w;
}

thread_local Rec* t_self = nullptr;

// A point the scheduler's own types pass (a lock, a wait) has no caller's location to show.
bool inside_scheduler(const char* path) { return std::strstr(path, "host/sched/sched.cpp") != nullptr; }

const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

std::string trace_text(World& w) {
    std::ostringstream out;
    for (const Switch& s : w.trace) {
        out << "  step " << s.step << "  t=" << (s.now_ns - w.start_ns) / 1000 << " us  " << w.threads[s.from]->name
            << "#" << s.from << " -> " << w.threads[s.to]->name << "#" << s.to << "  at " << s.what;
        if (s.file && *s.file && !inside_scheduler(s.file)) out << " (" << base_name(s.file) << ":" << s.line << ")";
        out << "\n";
    }
    return out.str();
}

std::string threads_text(World& w) {
    std::ostringstream out;
    for (const auto& r : w.threads) {
        out << "  " << r->name << "#" << r->id << ": "
            << (r->state == State::Runnable   ? "runnable"
                : r->state == State::Finished ? "finished"
                                              : "blocked");
        if (r->state == State::Blocked) {
            out << " on " << r->on_kind;
            if (r->deadline != kNever) out << " until t=" << (r->deadline - w.start_ns) / 1000 << " us";
        }
        if (r->state != State::Finished) {
            out << ", last at " << r->what;
            if (r->where.file && *r->where.file && !inside_scheduler(r->where.file))
                out << " (" << base_name(r->where.file) << ":" << r->where.line << ")";
        }
        out << "\n";
    }
    return out.str();
}

[[noreturn]] void fail_locked(World& w, const std::string& why, int status) {
    std::string text = "schedule: " + why + "\n";
    text += "  strategy " + describe(w.options.strategy) + " (replay: QH_SCHEDULE=" + describe(w.options.strategy) +
            "), step " + std::to_string(w.steps.load()) +
            ", t=" + std::to_string((w.now_ns.load() - w.start_ns) / 1000) + " us\n";
    text += "threads:\n" + threads_text(w);
    text += "last switches:\n" + trace_text(w);
    ssize_t ignored = ::write(2, text.data(), text.size());
    (void)ignored;
    _exit(status);
}

Rec* self_or_fail(World& w) {
    Rec* me = t_self;
    if (!me) {
        std::unique_lock<std::mutex> lk(w.mu);
        fail_locked(w, "a thread that was not started through host::sched::Thread took part in the run", 71);
    }
    return me;
}

void wake_due(World& w) {
    const int64_t now = w.now_ns.load(std::memory_order_relaxed);
    for (auto& r : w.threads)
        if (r->state == State::Blocked && r->deadline <= now) {
            r->state = State::Runnable;
            r->timed_out = true;
        }
}

void make_runnable(Rec& r) {
    r.state = State::Runnable;
    r.deadline = kNever;
    r.on = nullptr;
}

void block(World& w, Rec& me, const void* on, const char* kind, int64_t deadline) {
    me.state = State::Blocked;
    me.on = on;
    me.on_kind = kind;
    me.deadline = deadline;
    me.timed_out = false;
    me.blocked_seq = ++w.block_seq;
}

Rec* pick(World& w, Rec* me, bool spinning) {
    std::vector<Rec*> runnable;
    for (;;) {
        wake_due(w);
        runnable.clear();
        for (auto& r : w.threads)
            if (r->state == State::Runnable) runnable.push_back(r.get());
        // A thread that spins waits for another one: when it is the only one that can run, its
        // turn is time passing, up to the next due wake-up, as if it were blocked.
        const bool alone_spinning = spinning && runnable.size() == 1 && runnable[0] == me;
        if (!runnable.empty() && !alone_spinning) break;
        int64_t earliest = kNever;
        for (auto& r : w.threads)
            if (r->state == State::Blocked) earliest = std::min(earliest, r->deadline);
        if (earliest == kNever) {
            if (alone_spinning) fail_locked(w, "livelock: a thread spins for a change no other thread can make", 72);
            bool main_done = w.threads[0]->state == State::Finished;
            if (main_done) return nullptr;
            fail_locked(w, "deadlock: every thread is blocked and nothing is due in time", 72);
        }
        w.now_ns.store(std::max(earliest, w.now_ns.load()));
    }
    if (w.options.strategy.kind == Strategy::Kind::Random) {
        if (spinning && runnable.size() > 1) runnable.erase(std::find(runnable.begin(), runnable.end(), me));
        return runnable[w.rng.below(runnable.size())];
    }
    if (spinning && me->state == State::Runnable) me->priority = --w.spin_floor;
    Rec* best = runnable[0];
    for (Rec* r : runnable)
        if (r->priority > best->priority) best = r;
    return best;
}

// Called by the running thread with the run's lock held. Counts a step, applies PCT's change
// points, picks who runs next and, when that is another thread, parks until picked again.
// How long a preemption lasts: log-uniform from 10 us to 50 ms, so that short ones (a copy's
// piece, a register access) and long ones (across frames, past time-outs) both come.
int64_t draw_delay(World& w) {
    const double u = static_cast<double>(w.rng.below(1u << 20)) / static_cast<double>(1u << 20);
    return static_cast<int64_t>(10'000.0 * std::pow(5000.0, u));
}

thread_local unsigned t_hardware_depth = 0;

// The longest delay the thread may take at this point.
int64_t delay_cap(World& w, const Rec& me, bool latency) {
    if (me.never_delayed || t_hardware_depth != 0) return 0;
    if (latency) return kNever;
    switch (w.level_source ? w.level_source() : Level::Preemptible) {
    case Level::Preemptible: return kNever;
    case Level::Interruptible: return 100'000;  // interrupt routines of other devices
    case Level::Never: return 0;
    }
    return 0;
}

void reschedule(World& w, std::unique_lock<std::mutex>& lk, Rec* me, const char* what, Where where,
                bool spinning = false, bool latency = false) {
    me->what = what;
    me->where = where;
    const uint64_t step = w.steps.fetch_add(1, std::memory_order_relaxed) + 1;
    if (step > w.options.step_limit)
        fail_locked(w, "step bound of " + std::to_string(w.options.step_limit) + " exceeded (livelock?)", 73);
    while (w.next_change < w.change_points.size() && w.focus_step + w.change_points[w.next_change] <= step) {
        // The i-th change point drops the running thread below every initial priority.
        me->priority = static_cast<int64_t>(w.change_points.size() - w.next_change);
        ++w.next_change;
    }
    while (w.next_delay < w.delay_points.size() && w.focus_step + w.delay_points[w.next_delay] <= step) {
        ++w.unassigned_delays;
        ++w.next_delay;
    }
    if (w.unassigned_delays != 0 && !me->never_delayed) {
        for (; w.unassigned_delays != 0; --w.unassigned_delays)
            me->owed_delay_ns += draw_delay(w);
    }
    if (me->owed_delay_ns != 0 && me->state == State::Runnable) {
        const int64_t cap = delay_cap(w, *me, latency);
        int64_t d = std::min(me->owed_delay_ns, cap);
        // Half of the preemptions end when the hardware's next timed event comes, so that the
        // thread goes on at the very moment the card does something: the coincidences that a
        // second processor makes and that durations drawn alone would almost never hit.
        if (d > 0 && w.rng.below(2) == 0) {
            const int64_t now = w.now_ns.load();
            int64_t next = kNever;
            for (auto& r : w.threads)
                if (r->never_delayed && r->state == State::Blocked && r->deadline > now)
                    next = std::min(next, r->deadline);
            if (next != kNever && next - now <= cap) d = next - now;
        }
        if (d > 0) {
            me->owed_delay_ns = 0;
            block(w, *me, nullptr, "preempted", w.now_ns.load() + d);
            w.delayed_ns += d;
            what = me->what = "preempted";
        }
    }
    Rec* next = pick(w, me, spinning);
    if (next == me) return;
    if (!next) fail_locked(w, "internal: no thread to run although the first thread has not finished", 74);
    w.trace.push_back(Switch{step, w.now_ns.load(), me->id, next->id, what, where.file, where.line});
    while (w.trace.size() > w.options.trace_length)
        w.trace.pop_front();
    w.running = next;
    next->go.notify_one();
    me->go.wait(lk, [&] { return w.running == me; });
}

int64_t initial_priority(World& w) {
    // Above every change-point priority (1 .. depth-1); distinct with overwhelming likelihood.
    return (int64_t{1} << 40) + static_cast<int64_t>(w.rng.below(int64_t{1} << 39));
}

int64_t to_ns(Clock::time_point t) { return t.time_since_epoch().count(); }

}  // namespace

namespace {
const int64_t g_real_start = steady_ns();
}

Clock::time_point Clock::start() noexcept { return time_point(duration(controlled() ? kVirtualOrigin : g_real_start)); }

Clock::time_point Clock::now() noexcept {
    if (controlled()) return time_point(duration(world().now_ns.load(std::memory_order_relaxed)));
    return time_point(duration(steady_ns()));
}

void point(const char* what, Where where) {
    if (!controlled()) return;
    World& w = world();
    Rec* me = self_or_fail(w);
    std::unique_lock<std::mutex> lk(w.mu);
    reschedule(w, lk, me, what, where);
}

// The driver cannot name its place here; the label says which helper it was.
void shared_point(const char* what) { point(what, Where()); }

namespace {
void burn_as(std::chrono::nanoseconds d, const char* what, Where where) {
    World& w = world();
    Rec* me = self_or_fail(w);
    std::unique_lock<std::mutex> lk(w.mu);
    w.now_ns.fetch_add(std::max<int64_t>(0, d.count()));
    reschedule(w, lk, me, what, where);
}
}  // namespace

void burn(std::chrono::nanoseconds d, Where where) {
    if (!controlled()) {
        const int64_t until = steady_ns() + d.count();
        while (steady_ns() < until) {
        }
        return;
    }
    burn_as(d, "busy time", where);
}

void spin(Where where) {
    if (!controlled()) {
        std::this_thread::yield();
        return;
    }
    World& w = world();
    Rec* me = self_or_fail(w);
    std::unique_lock<std::mutex> lk(w.mu);
    reschedule(w, lk, me, "spin", where, true);
}

void sleep_until(Clock::time_point t) {
    if (!controlled()) {
        std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(t.time_since_epoch())));
        return;
    }
    World& w = world();
    Rec* me = self_or_fail(w);
    std::unique_lock<std::mutex> lk(w.mu);
    if (to_ns(t) > w.now_ns.load()) block(w, *me, nullptr, "sleep", to_ns(t));
    reschedule(w, lk, me, "sleep", Where{__builtin_FILE(), __builtin_LINE()});
}

void Mutex::lock() {
    if (!controlled()) {
        native_.lock();
        return;
    }
    World& w = world();
    Rec* me = self_or_fail(w);
    std::unique_lock<std::mutex> lk(w.mu);
    if (owner_ == me) fail_locked(w, "a thread locked a mutex it already holds", 75);
    reschedule(w, lk, me, "lock", Where{__builtin_FILE(), __builtin_LINE()});
    while (owner_) {
        block(w, *me, this, "mutex", kNever);
        reschedule(w, lk, me, "lock (contended)", Where{__builtin_FILE(), __builtin_LINE()});
    }
    owner_ = me;
}

bool Mutex::try_lock() {
    if (!controlled()) return native_.try_lock();
    World& w = world();
    Rec* me = self_or_fail(w);
    std::unique_lock<std::mutex> lk(w.mu);
    reschedule(w, lk, me, "try_lock", Where{__builtin_FILE(), __builtin_LINE()});
    if (owner_) return false;
    owner_ = me;
    return true;
}

namespace {
void release_locked(World& w, void*& owner, const void* mutex) {
    owner = nullptr;
    for (auto& r : w.threads)
        if (r->state == State::Blocked && r->on == mutex) make_runnable(*r);
}
}  // namespace

void Mutex::unlock() {
    if (!controlled()) {
        native_.unlock();
        return;
    }
    World& w = world();
    Rec* me = self_or_fail(w);
    std::unique_lock<std::mutex> lk(w.mu);
    if (owner_ != me) fail_locked(w, "a thread unlocked a mutex it does not hold", 75);
    release_locked(w, owner_, this);
}

void CondVar::notify_one() noexcept {
    if (!controlled()) {
        native_.notify_one();
        return;
    }
    World& w = world();
    std::unique_lock<std::mutex> lk(w.mu);
    Rec* first = nullptr;
    for (auto& r : w.threads)
        if (r->state == State::Blocked && r->on == this && (!first || r->blocked_seq < first->blocked_seq))
            first = r.get();
    if (first) make_runnable(*first);
}

void CondVar::notify_all() noexcept {
    if (!controlled()) {
        native_.notify_all();
        return;
    }
    World& w = world();
    std::unique_lock<std::mutex> lk(w.mu);
    for (auto& r : w.threads)
        if (r->state == State::Blocked && r->on == this) make_runnable(*r);
}

void CondVar::wait(std::unique_lock<Mutex>& lock) {
    if (!controlled()) {
        std::unique_lock<std::mutex> native(lock.mutex()->native_, std::adopt_lock);
        native_.wait(native);
        native.release();
        return;
    }
    wait_until(lock, Clock::time_point::max());
}

std::cv_status CondVar::wait_until(std::unique_lock<Mutex>& lock, Clock::time_point t) {
    Mutex& m = *lock.mutex();
    if (!controlled()) {
        std::unique_lock<std::mutex> native(m.native_, std::adopt_lock);
        const auto real = std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(t.time_since_epoch()));
        const std::cv_status status = t == Clock::time_point::max() ? (native_.wait(native), std::cv_status::no_timeout)
                                                                    : native_.wait_until(native, real);
        native.release();
        return status;
    }
    World& w = world();
    Rec* me = self_or_fail(w);
    std::unique_lock<std::mutex> lk(w.mu);
    if (m.owner_ != me) fail_locked(w, "a condition wait without its mutex held", 75);
    release_locked(w, m.owner_, &m);
    const int64_t deadline = t == Clock::time_point::max() ? kNever : to_ns(t);
    bool timed_out = false;
    if (deadline <= w.now_ns.load()) {
        timed_out = true;
        reschedule(w, lk, me, "wait (already due)", Where{__builtin_FILE(), __builtin_LINE()});
    } else {
        block(w, *me, this, "condition", deadline);
        reschedule(w, lk, me, "wait", Where{__builtin_FILE(), __builtin_LINE()});
        timed_out = me->timed_out;
        me->timed_out = false;
    }
    while (m.owner_) {
        block(w, *me, &m, "mutex", kNever);
        reschedule(w, lk, me, "relock after wait", Where{__builtin_FILE(), __builtin_LINE()});
    }
    m.owner_ = me;
    return timed_out ? std::cv_status::timeout : std::cv_status::no_timeout;
}

namespace {
void finish(World& w, Rec* me) {
    std::unique_lock<std::mutex> lk(w.mu);
    me->state = State::Finished;
    for (auto& r : w.threads)
        if (r->state == State::Blocked && r->on == me) make_runnable(*r);
    Rec* next = pick(w, me, false);
    if (!next) return;  // the first thread ended: nothing runs any more
    w.trace.push_back(Switch{w.steps.load(), w.now_ns.load(), me->id, next->id, "thread end", "", 0});
    while (w.trace.size() > w.options.trace_length)
        w.trace.pop_front();
    w.running = next;
    next->go.notify_one();
}
}  // namespace

Thread::Thread(const char* name, std::function<void()> body) {
    if (!controlled()) {
        native_ = std::thread(std::move(body));
        return;
    }
    World& w = world();
    Rec* me = self_or_fail(w);
    std::unique_lock<std::mutex> lk(w.mu);
    auto rec = std::make_unique<Rec>();
    rec->id = static_cast<int>(w.threads.size());
    rec->name = name;
    rec->priority = initial_priority(w);
    Rec* r = rec.get();
    w.threads.push_back(std::move(rec));
    record_ = r;
    native_ = std::thread([r, body = std::move(body)] {
        World& w = world();
        t_self = r;
        {
            std::unique_lock<std::mutex> lk(w.mu);
            r->go.wait(lk, [&] { return w.running == r; });
        }
        body();
        finish(w, r);
    });
    // No switch here: the new thread is runnable and may be picked at the creator's next
    // scheduling point. A creator inside std::call_once (the kernel's DPC and timer threads start
    // that way) must not hand over control there, or a second caller of the same call_once would
    // wait for it in the C library, holding control, and the run would hang.
    (void)me;
}

Thread::Thread(Thread&& other) noexcept : native_(std::move(other.native_)), record_(other.record_) {
    other.record_ = nullptr;
}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (native_.joinable()) std::terminate();
    native_ = std::move(other.native_);
    record_ = other.record_;
    other.record_ = nullptr;
    return *this;
}

Thread::~Thread() {
    if (native_.joinable()) std::terminate();
}

void Thread::join() {
    if (controlled() && record_) {
        World& w = world();
        Rec* me = self_or_fail(w);
        auto* target = static_cast<Rec*>(record_);
        std::unique_lock<std::mutex> lk(w.mu);
        reschedule(w, lk, me, "join", Where{__builtin_FILE(), __builtin_LINE()});
        while (target->state != State::Finished) {
            block(w, *me, target, "thread end", kNever);
            reschedule(w, lk, me, "join", Where{__builtin_FILE(), __builtin_LINE()});
        }
    }
    native_.join();
}

void Thread::detach() { native_.detach(); }

bool parse(std::string_view text, Strategy& out, std::string& error) {
    auto number = [](std::string_view s, uint64_t& v) {
        if (s.empty() || s.size() > 20) return false;
        v = 0;
        for (char c : s) {
            if (c < '0' || c > '9') return false;
            const uint64_t d = static_cast<uint64_t>(c - '0');
            if (v > (UINT64_MAX - d) / 10) return false;
            v = v * 10 + d;
        }
        return true;
    };
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    Strategy s;
    uint64_t seed = 0;
    // The number of preemptions, when the last part gives one.
    auto delays = [&](size_t at) {
        uint64_t d = 0;
        if (parts.size() == at) return true;
        if (parts.size() != at + 1 || !number(parts[at], d) || d > 1000) return false;
        s.delays = static_cast<uint32_t>(d);
        return true;
    };
    if ((parts.size() == 2 || parts.size() == 3) && parts[0] == "random" && number(parts[1], seed) && delays(2)) {
        s.kind = Strategy::Kind::Random;
        s.seed = seed;
        out = s;
        return true;
    }
    uint64_t depth = 0;
    if ((parts.size() == 3 || parts.size() == 4) && parts[0] == "pct" && number(parts[1], seed) &&
        number(parts[2], depth) && depth >= 1 && depth <= 64 && delays(3)) {
        s.kind = Strategy::Kind::Pct;
        s.seed = seed;
        s.depth = static_cast<uint32_t>(depth);
        out = s;
        return true;
    }
    error = "unreadable schedule \"" + std::string(text) +
            "\": expected random:SEED or pct:SEED:DEPTH, either optionally followed by :DELAYS (SEED a decimal "
            "number, DEPTH 1 to 64, DELAYS 0 to 1000)";
    return false;
}

std::string describe(const Strategy& s) {
    // Appended piece by piece: GCC 12 at -O3 warns about the temporaries of a chain of +.
    std::string text = s.kind == Strategy::Kind::Random ? "random:" : "pct:";
    text += std::to_string(s.seed);
    if (s.kind == Strategy::Kind::Pct) {
        text += ':';
        text += std::to_string(s.depth);
    }
    if (s.delays) {
        text += ':';
        text += std::to_string(s.delays);
    }
    return text;
}

void begin(const Options& options) {
    World& w = world();
    std::unique_lock<std::mutex> lk(w.mu);
    if (controlled()) fail_locked(w, "begin called twice", 76);
    w.options = options;
    w.rng = Rng{options.strategy.seed * 0x2545F4914F6CDD1DULL + 1};
    // A fixed origin, so that everything computed from the clock (tick boundaries, expiries) is
    // the same in every run of a seed; far past any real reading, so time never runs backwards
    // for a reading taken before the run began.
    w.start_ns = kVirtualOrigin;
    w.now_ns.store(w.start_ns);
    if (options.strategy.kind == Strategy::Kind::Pct) {
        const uint64_t span = std::max<uint64_t>(1, options.expected_steps);
        for (uint32_t i = 1; i < options.strategy.depth; ++i)
            w.change_points.push_back(1 + w.rng.below(span));
        std::sort(w.change_points.begin(), w.change_points.end());
    }
    // Drawn after the change points, so that a strategy without delays keeps its schedules.
    if (options.strategy.delays != 0) {
        const uint64_t span = std::max<uint64_t>(1, options.expected_steps);
        for (uint32_t i = 0; i < options.strategy.delays; ++i)
            w.delay_points.push_back(1 + w.rng.below(span));
        std::sort(w.delay_points.begin(), w.delay_points.end());
    }
    auto rec = std::make_unique<Rec>();
    rec->name = "main";
    rec->priority = initial_priority(w);
    t_self = rec.get();
    w.running = rec.get();
    w.threads.push_back(std::move(rec));
    detail::g_controlled = true;
}

bool from_environment(Options& out, std::string& error) {
    const char* text = std::getenv("QH_SCHEDULE");
    if (!text || !*text) return false;
    Options o;
    if (!parse(text, o.strategy, error)) return false;
    if (const char* steps = std::getenv("QH_SCHEDULE_STEPS"); steps && *steps) {
        char* end = nullptr;
        const unsigned long long v = std::strtoull(steps, &end, 10);
        if (!end || *end || v == 0) {
            error = std::string("unreadable QH_SCHEDULE_STEPS \"") + steps + "\": expected a positive number";
            return false;
        }
        o.expected_steps = v;
    }
    out = o;
    return true;
}

bool begin_from_environment(std::string& error) {
    Options options;
    error.clear();
    if (from_environment(options, error)) {
        begin(options);
        return true;
    }
    return error.empty();
}

int finish(int status) {
    if (!controlled()) return status;
    std::fflush(nullptr);
    _exit(status);
}

void fail(const std::string& why, int status) {
    World& w = world();
    std::unique_lock<std::mutex> lk(w.mu);
    fail_locked(w, why, status);
}

void copy_in_pieces(void* destination, const void* source, size_t bytes) {
    // 64 KiB: a few microseconds of a processor's time, and 64 pieces for a 1080p frame.
    constexpr size_t kPiece = 64 * 1024;
    auto* to = static_cast<unsigned char*>(destination);
    const auto* from = static_cast<const unsigned char*>(source);
    size_t done = 0;
    do {
        const size_t piece = std::min(kPiece, bytes - done);
        // The processor's time for the piece, at 4 GB/s: what else falls due meanwhile (a frame's
        // interrupt, a removal) can come in the middle of the copy.
        burn_as(std::chrono::nanoseconds(piece / 4), "RtlCopyMemory piece", Where{__builtin_FILE(), __builtin_LINE()});
        std::memcpy(to + done, from + done, piece);
        done += piece;
    } while (done < bytes);
}

uint64_t steps() { return world().steps.load(); }

Strategy strategy() {
    World& w = world();
    std::unique_lock<std::mutex> lk(w.mu);
    return w.options.strategy;
}

void focus() {
    if (!controlled()) return;
    World& w = world();
    std::unique_lock<std::mutex> lk(w.mu);
    w.focus_step = w.steps.load();
    w.focus_end_step = 0;
    w.next_change = 0;
    w.next_delay = 0;
    w.unassigned_delays = 0;
}

void end_focus() {
    if (!controlled()) return;
    World& w = world();
    std::unique_lock<std::mutex> lk(w.mu);
    w.focus_end_step = w.steps.load();
    // What was drawn for the part of interest and not reached in it never comes: the rest of the
    // run goes as it would without them. A preemption already owed is still taken.
    w.next_change = w.change_points.size();
    w.next_delay = w.delay_points.size();
}

void set_level_source(Level (*source)()) {
    World& w = world();
    std::unique_lock<std::mutex> lk(w.mu);
    w.level_source = source;
}

HardwareScope::HardwareScope() { ++t_hardware_depth; }
HardwareScope::~HardwareScope() { --t_hardware_depth; }

void never_delayed() {
    if (!controlled()) return;
    World& w = world();
    Rec* me = self_or_fail(w);
    std::unique_lock<std::mutex> lk(w.mu);
    me->never_delayed = true;
    me->owed_delay_ns = 0;
}

void latency_point(const char* what, Where where) {
    if (!controlled()) return;
    World& w = world();
    Rec* me = self_or_fail(w);
    std::unique_lock<std::mutex> lk(w.mu);
    reschedule(w, lk, me, what, where, false, true);
}

std::chrono::nanoseconds delayed() {
    if (!controlled()) return std::chrono::nanoseconds(0);
    World& w = world();
    std::unique_lock<std::mutex> lk(w.mu);
    // Only what has passed: a preemption still running counts up to now, so that an interval
    // measured with two readings gets exactly the preemption time that fell inside it.
    int64_t passed = w.delayed_ns;
    const int64_t now = w.now_ns.load();
    for (const auto& r : w.threads)
        if (r->state == State::Blocked && std::strcmp(r->on_kind, "preempted") == 0 && r->deadline > now)
            passed -= r->deadline - now;
    return std::chrono::nanoseconds(passed);
}

uint64_t focused_steps() {
    World& w = world();
    std::unique_lock<std::mutex> lk(w.mu);
    return (w.focus_end_step != 0 ? w.focus_end_step : w.steps.load()) - w.focus_step;
}

std::string trace() {
    World& w = world();
    std::unique_lock<std::mutex> lk(w.mu);
    return trace_text(w);
}

}  // namespace host::sched
