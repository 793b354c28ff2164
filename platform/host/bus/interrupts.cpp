// The simulated bus's interrupt lines, delivered on their own threads at device level, and the
// connection of a driver's interrupt service routine to them.
#include "platform/host/bus/bus.h"
#include "platform/host/sched/sched.h"
#include "platform/host/kernel/priority.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "platform/host/measure/cost.h"
#include "platform/host/diag/symbols.h"
#include "platform/host/kernel/kernel_private.h"

namespace host {
namespace detail {
namespace {

// ---- interrupt lines ---------------------------------------------------------------------------

std::atomic<uint64_t> g_isr_runs{0};
std::atomic<uint64_t> g_isrs_over{0};
constexpr unsigned kStormLimit = 1000;  // unclaimed re-entries of an asserted level line

class Line;

}  // namespace
}  // namespace detail
}  // namespace host

struct _KINTERRUPT {
    host::detail::Line* line;
    PKSERVICE_ROUTINE routine;
    PVOID context;
    KIRQL irql;
    bool share_vector;
    host::sched::Mutex interrupt_lock;
    host::sched::Thread thread;
    bool stop = false;  // guarded by the line's lock
};

namespace host {
namespace detail {
namespace {

void detach(PKINTERRUPT k);

class Line final : public InterruptLine {
public:
    explicit Line(Mode mode) : mode_(mode) {}
    ~Line() override {
        unregister_interrupt_line(this);
        PKINTERRUPT k;
        {
            std::lock_guard<host::sched::Mutex> guard(lock_);
            k = connection_;
        }
        if (k) {
            verifier::diagnostic("interrupt line destroyed while connected; delivery stopped");
            stop(k);
            detach(k);
        }
    }

    Mode mode() const override { return mode_; }

    void set_level(bool asserted) override {
        host::sched::point(asserted ? "interrupt line assert" : "interrupt line deassert");
        std::lock_guard<host::sched::Mutex> guard(lock_);
        level_ = asserted;
        if (asserted) card_seen_ = true;
        if (!asserted) {
            masked_ = false;
            unclaimed_ = 0;
            claimed_run_ = 0;
        }
        changed_.notify_all();
    }

    void signal_message() override {
        host::sched::point("interrupt message");
        std::lock_guard<host::sched::Mutex> guard(lock_);
        message_ = true;  // at most one pending message per vector
        changed_.notify_all();
    }

    void inject_foreign() override {
        host::sched::point("interrupt line assert (foreign)");
        std::string exclusive_holder;
        {
            std::lock_guard<host::sched::Mutex> guard(lock_);
            if (mode_ == Mode::MessageSignalled) {
                // A message vector has no other device: the call is a spurious one.
                ++foreign_;
            } else if (connection_ && !connection_->share_vector) {
                // The other device's driver cannot connect its routine to a line held exclusively,
                // so that device would never be served: the set-up contradicts itself.
                if (!exclusive_reported_) {
                    exclusive_reported_ = true;
                    exclusive_holder = symbols::where(reinterpret_cast<const void*>(connection_->routine));
                }
            } else {
                other_present_ = true;
                other_asserted_ = true;
                // With no routine of ours on the line, the other device's own routine is the only
                // one called, and it serves its device at once.
                if (!connection_) serve_other();
            }
            changed_.notify_all();
        }
        if (!exclusive_holder.empty()) {
            std::string message = "another device on the level-sensitive line cannot connect its service routine: ";
            message += exclusive_holder;
            message +=
                " connected the line exclusively (ShareVector FALSE), so that device's interrupt is never served";
            verifier::diagnostic(message);
        }
    }

    bool wait_quiet(uint32_t timeout_ms) override {
        std::unique_lock<host::sched::Mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] { return quiet(); });
    }

    uint64_t calls() const override { return calls_.load(); }
    uint64_t claimed() const override { return claimed_.load(); }
    uint64_t foreign_served() const override { return other_served_.load(); }
    bool foreign_asserted() const override {
        std::lock_guard<host::sched::Mutex> guard(lock_);
        return other_asserted_;
    }

    void set_delivery_hook(DeliveryHook hook) override {
        std::lock_guard<host::sched::Mutex> guard(lock_);
        hook_ = std::move(hook);
    }

    void set_device_gone(bool gone) override { device_gone_.store(gone); }

    // Connects `k` and stores it in *out before delivery starts (the routine may run before
    // IoConnectInterruptEx returns); a refused connection leaves *out untouched.
    bool connect(PKINTERRUPT k, PKINTERRUPT* out) {
        std::lock_guard<host::sched::Mutex> guard(lock_);
        if (connection_) return false;
        // The other device connected its routine shared: an exclusive connection conflicts.
        if (other_present_ && !k->share_vector) return false;
        connection_ = k;
        *out = k;
        k->thread = host::sched::Thread("interrupt", [this, k] { deliver(k); });
        return true;
    }

    void stop(PKINTERRUPT k) {
        {
            std::lock_guard<host::sched::Mutex> guard(lock_);
            k->stop = true;
            changed_.notify_all();
        }
        if (k->thread.joinable()) k->thread.join();
        std::lock_guard<host::sched::Mutex> guard(lock_);
        if (connection_ == k) connection_ = nullptr;
        // Our routine left the chain: the other device's routine is now the first one called.
        if (!connection_ && other_asserted_) serve_other();
        changed_.notify_all();
    }

private:
    bool card_pending() const { return mode_ == Mode::MessageSignalled ? message_ : (level_ && !masked_); }
    bool other_pending() const { return other_asserted_ && !other_masked_; }
    bool pending() const { return foreign_ > 0 || card_pending() || other_pending(); }

    // The other device's routine ran and acknowledged its device, which lowers its output.
    void serve_other() {
        other_asserted_ = false;
        other_masked_ = false;
        other_served_.fetch_add(1);
    }
    bool quiet() const { return !running_ && !delaying_ && (!connection_ || !pending()); }

    void deliver(PKINTERRUPT k) {
        run_at_level(ThreadLevel::Device);
        ThreadState& t = self();
        t.processor = 0;
        t.irql = k->irql;
        std::unique_lock<host::sched::Mutex> guard(lock_);
        for (;;) {
            changed_.wait(guard, [&] { return k->stop || pending(); });
            if (k->stop) break;
            if (hook_ && foreign_ == 0 && !other_pending()) {
                // The device's interrupt waits for the processor; whatever it raises meanwhile
                // joins the pending message or keeps the level up.
                delaying_ = true;
                DeliveryHook hook = hook_;
                guard.unlock();
                hook([&] {
                    std::lock_guard<host::sched::Mutex> g(lock_);
                    return k->stop;
                });
                guard.lock();
                delaying_ = false;
                changed_.notify_all();
                if (k->stop) break;
                if (!pending()) continue;
            }
            bool foreign = false;
            if (foreign_ > 0) {
                --foreign_;
                foreign = true;
            } else if (mode_ == Mode::MessageSignalled) {
                message_ = false;
            } else if (!card_pending()) {
                // Only the other device asserts the line; ours is called first in the chain.
                foreign = true;
            }
            // Whether the card's level was up at any moment from here until the routine returns:
            // only then can the routine have found a cause of its own.
            card_seen_ = level_;
            running_ = true;
            guard.unlock();

            BOOLEAN result;
            // Only a routine entered after the device went can have read nothing but all ones: one
            // that read a real status just before the removal rightly claims what it read.
            const bool gone_before = device_gone_.load();
            auto begin = std::chrono::steady_clock::now();
            {
                std::lock_guard<host::sched::Mutex> isr_lock(k->interrupt_lock);
                cost::Scope measured(cost::Kind::Interrupt, k);
                result = k->routine(k, k->context);
            }
            const uint64_t own_ns = cost::last_own_ns();
            auto us =
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin).count();
            g_isr_runs.fetch_add(1, std::memory_order_relaxed);
            const uint32_t budget_us = isr_budget_us();
            // Real time says nothing in a controlled run, where a routine's time includes other threads' turns.
            if (us > budget_us && !host::sched::controlled()) {
                g_isrs_over.fetch_add(1, std::memory_order_relaxed);
                const std::string name = symbols::where(reinterpret_cast<const void*>(k->routine));
                verifier::note_overrun("IsrBudget", name, budget_us, own_ns > uint64_t(budget_us) * 1000,
                                       cost::runs(cost::Kind::Interrupt, k));
            }
            if (t.irql != k->irql) {
                verifier::bugcheck(verifier::kIrqlNotLessOrEqual, "interrupt service routine returned at IRQL " +
                                                                      std::to_string(t.irql) + ", entered at IRQL " +
                                                                      std::to_string(k->irql));
                t.irql = k->irql;
            }
            calls_.fetch_add(1);
            if (result) claimed_.fetch_add(1);
            if (result && gone_before) {
                verifier::bugcheck(verifier::kInterruptStorm,
                                   "interrupt service routine claimed an interrupt while its device is gone "
                                   "(registers read all ones): the device that raised it is never served");
            }

            guard.lock();
            running_ = false;
            bool claimed_without_cause = false;
            if (mode_ == Mode::LevelSensitive) {
                if (!result) {
                    // Declined: the kernel calls the next routine in the chain, the other device's,
                    // which serves its device if that is the one asserting.
                    if (other_asserted_) serve_other();
                } else if (foreign && !card_seen_ && other_asserted_) {
                    // The kernel stops at the first claim: the other device's routine is not called
                    // and its device keeps the line asserted. Held back from here on, so the report
                    // does not repeat at every re-entry; a later decline still lets it be served.
                    other_masked_ = true;
                    claimed_without_cause = !gone_before;
                }
            }
            bool storm = false;
            unsigned claimed_in_storm = 0;
            if (mode_ == Mode::LevelSensitive && !foreign) {
                if (!level_) {
                    unclaimed_ = 0;
                    claimed_run_ = 0;
                } else {
                    // Still asserted after the routine returned, whether it claimed the interrupt
                    // or not: the processor takes it again at once.
                    claimed_run_ += result ? 1 : 0;
                    if (++unclaimed_ >= kStormLimit) {
                        // On Windows the processor would never leave the interrupt. Report it and
                        // mask the line until the device lowers it.
                        masked_ = true;
                        claimed_in_storm = claimed_run_;
                        unclaimed_ = 0;
                        claimed_run_ = 0;
                        storm = true;
                    }
                }
            }
            changed_.notify_all();
            if (claimed_without_cause) {
                guard.unlock();
                std::string message = "interrupt service routine ";
                message += symbols::where(reinterpret_cast<const void*>(k->routine));
                message +=
                    " claimed an interrupt (returned TRUE) on a shared level-sensitive line although its device "
                    "raised none: the kernel stops at the first claim, the other device's routine is never called "
                    "and that device keeps the line asserted (interrupt storm)";
                verifier::bugcheck(verifier::kInterruptStorm, message);
                guard.lock();
            }
            if (storm) {
                guard.unlock();
                verifier::bugcheck(verifier::kInterruptStorm,
                                   "interrupt storm: level-sensitive line stayed asserted through " +
                                       std::to_string(kStormLimit) + " calls of the service routine (" +
                                       std::to_string(claimed_in_storm) + " of them claimed it and left it asserted)");
                guard.lock();
            }
        }
    }

    const Mode mode_;
    mutable host::sched::Mutex lock_;
    host::sched::CondVar changed_;
    bool level_ = false;
    bool masked_ = false;
    bool message_ = false;
    unsigned foreign_ = 0;  // spurious calls pending on a message vector
    // The other device on a level-sensitive line: it connected its routine (shared) when it first
    // asserted, asserts until its routine is called, and is held back after our routine claimed its
    // interrupt.
    bool other_present_ = false;
    bool other_asserted_ = false;
    bool other_masked_ = false;
    bool exclusive_reported_ = false;
    bool card_seen_ = false;    // the card's level was up since the current call was decided
    unsigned unclaimed_ = 0;    // consecutive calls after which the line was still asserted
    unsigned claimed_run_ = 0;  // how many of them claimed the interrupt
    bool running_ = false;
    bool delaying_ = false;  // the delivery hook holds the next call
    DeliveryHook hook_;
    PKINTERRUPT connection_ = nullptr;
    std::atomic<uint64_t> calls_{0};
    std::atomic<uint64_t> claimed_{0};
    std::atomic<uint64_t> other_served_{0};
    std::atomic<bool> device_gone_{false};
};

struct Lines {
    host::sched::Mutex lock;
    std::map<uint32_t, Line*> by_vector;
    std::map<uint32_t, bool> assigned_shared;  // by vector, from the last resource list handed out
    uint32_t next_vector = 0x50;
    std::vector<PKINTERRUPT> connections;   // live
    std::vector<PKINTERRUPT> disconnected;  // kept, so a second disconnect is recognised
};

Lines& lines() {
    static auto* l = new Lines;
    return *l;
}

// The line went away before the driver disconnected: the later disconnect has nothing to stop.
void detach(PKINTERRUPT k) {
    std::lock_guard<host::sched::Mutex> guard(lines().lock);
    k->line = nullptr;
}

}  // namespace
}  // namespace detail

using namespace detail;

std::unique_ptr<InterruptLine> create_interrupt_line(InterruptLine::Mode mode) { return std::make_unique<Line>(mode); }

uint32_t register_interrupt_line(InterruptLine* line) {
    Lines& l = lines();
    std::lock_guard<host::sched::Mutex> guard(l.lock);
    for (auto& [vector, x] : l.by_vector)
        if (x == line) return vector;
    uint32_t vector = l.next_vector++;
    l.by_vector.emplace(vector, static_cast<Line*>(line));
    return vector;
}

void unregister_interrupt_line(InterruptLine* line) {
    Lines& l = lines();
    std::lock_guard<host::sched::Mutex> guard(l.lock);
    for (auto it = l.by_vector.begin(); it != l.by_vector.end(); ++it) {
        if (it->second == line) {
            l.assigned_shared.erase(it->first);
            l.by_vector.erase(it);
            return;
        }
    }
}

namespace detail {
void note_interrupt_assignment(uint32_t vector, bool shared) {
    Lines& l = lines();
    std::lock_guard<host::sched::Mutex> guard(l.lock);
    l.assigned_shared[vector] = shared;
}
}  // namespace detail

uint64_t isr_runs() { return g_isr_runs.load(); }
uint64_t isrs_over_budget() { return g_isrs_over.load(); }

}  // namespace host

using namespace host;
using namespace host::detail;

// ---- interrupt connection -------------------------------------------------------------------------

NTSTATUS IoConnectInterruptEx(PIO_CONNECT_INTERRUPT_PARAMETERS Parameters) {
    host::sched::point("IoConnectInterruptEx");
    if (!check_irql("IoConnectInterruptEx", PASSIVE_LEVEL)) return STATUS_INVALID_PARAMETER;
    if (!Parameters || Parameters->Version != CONNECT_FULLY_SPECIFIED) return STATUS_INVALID_PARAMETER;
    const auto& p = Parameters->FullySpecified;
    if (!p.InterruptObject || !p.ServiceRoutine || p.ProcessorEnableMask == 0) return STATUS_INVALID_PARAMETER;
    if (p.SynchronizeIrql <= DISPATCH_LEVEL || p.SynchronizeIrql > 12 || p.SynchronizeIrql < p.Irql)
        return STATUS_INVALID_PARAMETER;
    Lines& l = lines();
    std::unique_lock<host::sched::Mutex> guard(l.lock);
    auto it = l.by_vector.find(p.Vector);
    if (it == l.by_vector.end()) return STATUS_INVALID_PARAMETER;
    auto assigned = l.assigned_shared.find(p.Vector);
    const bool resource_shared = assigned != l.assigned_shared.end()
                                     ? assigned->second
                                     : it->second->mode() == InterruptLine::Mode::LevelSensitive;
    if ((p.ShareVector != FALSE) != resource_shared) {
        // Windows connects such a routine as long as no other device uses the vector, and fails
        // one device or the other as soon as one does (an exclusive connection beside a shared
        // one); which it is depends on the machine. The host refuses the connection and stops.
        guard.unlock();
        std::string message = "IoConnectInterruptEx with ShareVector ";
        message += p.ShareVector ? "TRUE" : "FALSE";
        message += " for vector ";
        message += std::to_string(p.Vector);
        message += ", whose interrupt resource is ";
        message += resource_shared ? "shared (CmResourceShareShared)" : "not shared";
        message += ": ShareVector must follow the translated resource's ShareDisposition";
        verifier::bugcheck(verifier::kDriverVerifierViolation, message);
        return STATUS_INVALID_PARAMETER;
    }
    auto* k = new _KINTERRUPT;
    k->line = it->second;
    k->routine = p.ServiceRoutine;
    k->context = p.ServiceContext;
    k->irql = p.SynchronizeIrql;
    k->share_vector = p.ShareVector != FALSE;
    if (!k->line->connect(k, p.InterruptObject)) {
        delete k;
        // The host allows one connection of a driver per line; an exclusive one also conflicts
        // with the other device's shared connection.
        return STATUS_INVALID_PARAMETER;
    }
    l.connections.push_back(k);
    cost::describe(cost::Kind::Interrupt, k, reinterpret_cast<const void*>(p.ServiceRoutine), p.PhysicalDeviceObject);
    return STATUS_SUCCESS;
}

namespace {

void disconnect(PKINTERRUPT InterruptObject, const char* service) {
    Lines& l = lines();
    Line* line = nullptr;
    {
        std::lock_guard<host::sched::Mutex> guard(l.lock);
        auto it = std::find(l.connections.begin(), l.connections.end(), InterruptObject);
        if (it == l.connections.end()) {
            bool twice =
                std::find(l.disconnected.begin(), l.disconnected.end(), InterruptObject) != l.disconnected.end();
            std::string msg = std::string(service) + " of " + ptr(InterruptObject) +
                              (twice ? ", which was already disconnected" : ", which is not a connected interrupt");
            l.lock.unlock();
            verifier::bugcheck(verifier::kDriverVerifierViolation, msg);
            l.lock.lock();
            return;
        }
        l.connections.erase(it);
        l.disconnected.push_back(InterruptObject);
        line = InterruptObject->line;
    }
    // Waits for a running service routine; no call follows. DPCs it queued are not flushed.
    if (line) line->stop(InterruptObject);
}

}  // namespace

void IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
    if (!check_irql("IoDisconnectInterrupt", PASSIVE_LEVEL)) return;
    disconnect(InterruptObject, "IoDisconnectInterrupt");
}

BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext) {
    host::sched::point("KeSynchronizeExecution");
    if (!Interrupt || !SynchronizeRoutine) {
        verifier::bugcheck(verifier::kDriverVerifierViolation,
                           "KeSynchronizeExecution without an interrupt or a routine");
        return FALSE;
    }
    {
        Lines& l = lines();
        std::lock_guard<host::sched::Mutex> guard(l.lock);
        if (std::find(l.connections.begin(), l.connections.end(), Interrupt) == l.connections.end()) {
            l.lock.unlock();
            verifier::bugcheck(verifier::kDriverVerifierViolation,
                               "KeSynchronizeExecution on " + ptr(Interrupt) + ", which is not a connected interrupt");
            l.lock.lock();
            return FALSE;
        }
    }
    ThreadState& t = self();
    if (t.irql > Interrupt->irql) {
        verifier::bugcheck(verifier::kIrqlNotLessOrEqual, "KeSynchronizeExecution at IRQL " + std::to_string(t.irql) +
                                                              ", above the interrupt's synchronize level " +
                                                              std::to_string(Interrupt->irql));
        return FALSE;
    }
    std::lock_guard<host::sched::Mutex> isr_lock(Interrupt->interrupt_lock);
    const KIRQL entered = t.irql;
    t.irql = Interrupt->irql;
    const BOOLEAN result = SynchronizeRoutine(SynchronizeContext);
    if (t.irql != Interrupt->irql) {
        verifier::bugcheck(verifier::kIrqlNotLessOrEqual, "synchronize routine returned at IRQL " +
                                                              std::to_string(t.irql) + ", entered at IRQL " +
                                                              std::to_string(Interrupt->irql));
    }
    t.irql = entered;
    return result;
}

void IoDisconnectInterruptEx(PIO_DISCONNECT_INTERRUPT_PARAMETERS Parameters) {
    host::sched::point("IoDisconnectInterruptEx");
    if (!check_irql("IoDisconnectInterruptEx", PASSIVE_LEVEL)) return;
    // The host connects only fully specified interrupts; the version must be the one connected with.
    if (!Parameters || Parameters->Version != CONNECT_FULLY_SPECIFIED) {
        verifier::bugcheck(verifier::kDriverVerifierViolation,
                           "IoDisconnectInterruptEx with version " +
                               (Parameters ? std::to_string(Parameters->Version) : std::string("(no parameters)")) +
                               "; the interrupt was connected fully specified (version " +
                               std::to_string(CONNECT_FULLY_SPECIFIED) + ")");
        return;
    }
    disconnect(Parameters->ConnectionContext.InterruptObject, "IoDisconnectInterruptEx");
}
