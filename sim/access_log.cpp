// The register access log: every read and write of the window, with its time and thread, up to a
// bound; optionally only the offsets a test names.
#include "sim/card_impl.h"
#include "platform/host/sched/sched.h"

#include <unistd.h>

namespace sim {

namespace {
constexpr size_t kMaxLog = 1u << 20;
}

void Card::Impl::record(uint32_t offset, uint32_t value, bool is_write) {
    if (!log_on.load(std::memory_order_relaxed) || log.size() >= kMaxLog) return;
    if (!log_only.empty() && std::find(log_only.begin(), log_only.end(), offset) == log_only.end()) return;
    uint64_t t = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - created).count();
    thread_local const uint32_t self = static_cast<uint32_t>(gettid());
    log.push_back({offset, value, t, self, is_write});
}

void Card::set_access_log(bool on, std::vector<uint32_t> only) {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    impl_->log_only = std::move(only);
    impl_->log_on.store(on);
}

std::vector<AccessRecord> Card::access_log() const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->log;
}

void Card::clear_access_log() {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    impl_->log.clear();
}

}  // namespace sim
