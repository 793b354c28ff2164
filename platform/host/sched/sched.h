// Threads, locks, condition variables and time for everything the host runs (kernel, class layer,
// bus, card, test bed, tools), in one of two modes:
//  - real (the default): these are the standard library's, on the steady clock;
//  - controlled (a process that called begin()): every thread taking part runs one at a time and
//    control passes only at scheduling points, chosen by a strategy from a seed. Time is virtual:
//    it stands still while any thread can run and jumps to the earliest due wake-up when none can,
//    so a run never sleeps and the same seed replays the same interleaving.
// Every thread of a controlled process must be started through Thread, and every wait must go
// through these types: a thread that blocks anywhere else while it holds control stops the run.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>

namespace host::sched {

// Where a scheduling point is in the source: a default argument of this form takes the caller's
// file and line (what std::source_location gives, which not every compiler here has).
struct Where {
    // As a default argument, a constructor's own defaults name the caller's place (GCC reads the
    // builtins of an aggregate's braces where the braces are written: here).
    constexpr Where(const char* f = __builtin_FILE(), unsigned l = __builtin_LINE()) : file(f), line(l) {}
    const char* file;
    unsigned line;
};

namespace detail {
extern bool g_controlled;  // written once, before the process has a second thread
}

// True in a controlled process.
inline bool controlled() noexcept { return detail::g_controlled; }

// The clock every host and card timing reads. Same representation as the steady clock.
struct Clock {
    using rep = int64_t;
    using period = std::nano;
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Clock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
    // When the process's time began: its start in a real process, the fixed origin of virtual
    // time in a controlled one. Times measured from it are the same in every run of a seed.
    static time_point start() noexcept;
};

// A scheduling point for code that cannot include this header (the driver's shared-field helpers
// in platform/platform.h test detail::g_controlled and call this only in a controlled run).
void shared_point(const char* what);
// RtlCopyMemory in a controlled run (wdk/ntddk_host.h): the copy in pieces, a point before each.
void copy_in_pieces(void* destination, const void* source, size_t bytes);

// A place where control may pass to another thread. `what` is a static string naming it in traces.
void point(const char* what, Where where = Where());

// Time that passes while this thread keeps its processor (a busy wait, a bus transfer): a real
// process spins until then; a controlled one moves the clock by `d` and offers a switch.
void burn(std::chrono::nanoseconds d, Where where = Where());

// One turn of a loop that waits for another thread without blocking (a spin): a controlled run
// lets every other runnable thread go first.
void spin(Where where = Where());

void sleep_until(Clock::time_point t);
template <class Rep, class Period>
void sleep_for(std::chrono::duration<Rep, Period> d) {
    sleep_until(Clock::now() + std::chrono::duration_cast<Clock::duration>(d));
}

// A mutex (Lockable, for std::lock_guard and std::unique_lock). Locking and unlocking are
// scheduling points in a controlled run.
class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    bool try_lock();
    void unlock();

private:
    friend class CondVar;
    std::mutex native_;
    void* owner_ = nullptr;  // controlled runs: the owning thread
};

// A mutex its owner may lock again (the card's interrupt line is re-entered from its own
// notifications); the same owner and depth bookkeeping in both modes, over Mutex.
class RecursiveMutex {
public:
    RecursiveMutex() = default;
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;
    void lock() {
        const std::thread::id me = std::this_thread::get_id();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        inner_.lock();
        owner_.store(me, std::memory_order_relaxed);
        depth_ = 1;
    }
    void unlock() {
        if (--depth_ != 0) return;
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        inner_.unlock();
    }

private:
    Mutex inner_;
    std::atomic<std::thread::id> owner_{};
    unsigned depth_ = 0;
};

// A reader-writer mutex (for std::shared_lock and std::unique_lock). A controlled run, where one
// thread runs at a time, makes readers exclusive too: what they share is only the right to run.
class SharedMutex {
public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;
    void lock() {
        if (controlled())
            exclusive_.lock();
        else
            native_.lock();
    }
    void unlock() {
        if (controlled())
            exclusive_.unlock();
        else
            native_.unlock();
    }
    void lock_shared() {
        if (controlled())
            exclusive_.lock();
        else
            native_.lock_shared();
    }
    void unlock_shared() {
        if (controlled())
            exclusive_.unlock();
        else
            native_.unlock_shared();
    }

private:
    std::shared_mutex native_;
    Mutex exclusive_;
};

class CondVar {
public:
    CondVar() = default;
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;
    void notify_one() noexcept;
    void notify_all() noexcept;

    void wait(std::unique_lock<Mutex>& lock);
    template <class Pred>
    void wait(std::unique_lock<Mutex>& lock, Pred pred) {
        while (!pred())
            wait(lock);
    }

    std::cv_status wait_until(std::unique_lock<Mutex>& lock, Clock::time_point t);
    template <class Pred>
    bool wait_until(std::unique_lock<Mutex>& lock, Clock::time_point t, Pred pred) {
        while (!pred())
            if (wait_until(lock, t) == std::cv_status::timeout) return pred();
        return true;
    }
    template <class Rep, class Period>
    std::cv_status wait_for(std::unique_lock<Mutex>& lock, std::chrono::duration<Rep, Period> d) {
        return wait_until(lock, Clock::now() + std::chrono::duration_cast<Clock::duration>(d));
    }
    template <class Rep, class Period, class Pred>
    bool wait_for(std::unique_lock<Mutex>& lock, std::chrono::duration<Rep, Period> d, Pred pred) {
        return wait_until(lock, Clock::now() + std::chrono::duration_cast<Clock::duration>(d), std::move(pred));
    }

private:
    std::condition_variable native_;
};

// A thread of the host, the card or a client. Started under control in a controlled run (it
// first runs when the strategy picks it); join waits as a scheduling point.
class Thread {
public:
    Thread() = default;
    Thread(const char* name, std::function<void()> body);
    template <class F>
    explicit Thread(F&& body) : Thread("thread", std::function<void()>(std::forward<F>(body))) {}
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&& other) noexcept;
    ~Thread();
    bool joinable() const noexcept { return native_.joinable(); }
    void join();
    void detach();
    std::thread::native_handle_type native_handle() { return native_.native_handle(); }
    std::thread::id get_id() const noexcept { return native_.get_id(); }

private:
    std::thread native_;
    void* record_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Controlled runs

struct Strategy {
    enum class Kind { Random, Pct };
    Kind kind = Kind::Random;
    uint64_t seed = 0;
    uint32_t depth = 3;   // PCT: priority change points + 1
    uint32_t delays = 0;  // preemptions: points where the running thread loses its processor for a while
};

// "random:SEED", "pct:SEED:DEPTH", either with ":DELAYS" appended; false with a message on anything
// else.
bool parse(std::string_view text, Strategy& out, std::string& error);
std::string describe(const Strategy& s);

struct Options {
    Strategy strategy;
    // PCT spreads its change points over this many steps: about the length of one run.
    uint64_t expected_steps = 20'000;
    // A run that takes more steps than this is a failure (a livelock, or a scenario too long).
    uint64_t step_limit = 5'000'000;
    // Switches kept for the failure report.
    size_t trace_length = 40;
};

// Makes this process a controlled one, with the calling thread as its first thread. Must be
// called while the process has no other thread that uses this header's types; never undone (a
// controlled run ends with its process).
void begin(const Options& options);

// Whether the environment asks for a controlled run (QH_SCHEDULE=random:SEED or pct:SEED:DEPTH,
// with QH_SCHEDULE_STEPS for the expected length); an unreadable setting is reported and refused.
bool from_environment(Options& out, std::string& error);

// For a program's main, before anything else: begins a controlled run when QH_SCHEDULE asks for
// one. False (with the message) when the setting cannot be read.
bool begin_from_environment(std::string& error);
// The end of a program: in a controlled process the other threads are parked mid-wait, so it
// ends without running static destructors (output flushed first); otherwise it returns `status`.
int finish(int status);

// Stops the run: prints `why`, the strategy and the last switches to standard error, then ends
// the process with `status` without running destructors (the other threads are parked).
[[noreturn]] void fail(const std::string& why, int status = 70);

// Steps taken so far (scheduling points passed), and the last switches as text.
uint64_t steps();
std::string trace();
// The strategy of this controlled run (a scenario may draw its own set-up from its seed).
Strategy strategy();

// Preemptions. Ordering alone never lets time pass while a thread could run, but on a real machine
// a thread loses its processor for a while (other threads, interrupts, other DPCs on its
// processor), and the card goes on meanwhile. A strategy with DELAYS picks that many steps; the
// thread running at each (or the next one that may be delayed) is put off for a time drawn from
// the seed (10 us to 50 ms), as far as its level allows: a preemptible thread for all of it, code at
// dispatch level only for as long as interrupts take, device-level code and the card never. Half
// of them last instead until the card's next timed event, where the thread and the card go on
// at one instant.
enum class Level {
    Preemptible,    // passive or APC level: any delay
    Interruptible,  // dispatch level: delayed only by interrupts (microseconds)
    Never,          // an interrupt routine's level, or hardware
};
// Who says at which level the calling thread runs (the kernel, by its IRQL); preemptible without.
void set_level_source(Level (*source)());
// The calling thread stands for hardware or for the processor's interrupt delivery, which keep
// their own time: never delayed.
void never_delayed();
// While one lives, the calling thread is inside the hardware model (a register access): it is
// never delayed there. A bus access takes no processor time to speak of, and the model's own
// locks, held across it, would otherwise keep the interrupt routine waiting for a preempted thread
// as no card does.
class HardwareScope {
public:
    HardwareScope();
    ~HardwareScope();
    HardwareScope(const HardwareScope&) = delete;
    HardwareScope& operator=(const HardwareScope&) = delete;
};
// A place where the calling thread waits for a processor whatever its level (a queued DPC before
// it runs): a delay owed here may take as long as a preemption.
void latency_point(const char* what, Where where = Where());
// Time the run's threads have spent preempted so far, a preemption still running counted up to
// now (zero outside a controlled run): a scenario that bounds how long something takes allows for
// the preemptions that fell inside it, those that began before it included.
std::chrono::nanoseconds delayed();

// Marks where a scenario's part of interest begins (after the device came up, say): PCT's change
// points and the preemptions are spread over the steps from here, whose count focused_steps()
// gives.
void focus();
// Marks where it ends, for a scenario whose window is short against what follows it (the
// teardown): focused_steps() then counts the part alone, so a span measured from it puts every
// change point and preemption there, and those of a longer span that are not reached by here are
// dropped.
void end_focus();
uint64_t focused_steps();

}  // namespace host::sched
