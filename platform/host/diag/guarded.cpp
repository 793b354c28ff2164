// Guarded memory: page protection and a fault handler that turns a touch into a named stop.
#include "platform/host/diag/guarded.h"
#include "platform/host/sched/sched.h"

#include "platform/host/diag/verifier.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define QH_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#else
#define QH_POISON(p, n) ((void)(p), (void)(n))
#endif

namespace host::guarded {

namespace {

struct Range {
    uintptr_t end;
    std::string what;
};

host::sched::Mutex& ranges_lock() {
    static auto* lock = new host::sched::Mutex;
    return *lock;
}
std::map<uintptr_t, Range>& ranges() {  // by start address
    static auto* map = new std::map<uintptr_t, Range>;
    return *map;
}
struct sigaction g_previous;

size_t round_up(size_t n) { return (n + page_size() - 1) & ~(page_size() - 1); }

// The fault is synchronous and happens in driver code, never inside this module, so the
// registry's lock is free (try_lock guards the rare exception). Only async-signal-safe work
// here: look the address up, report, and inside a capture make the range accessible so the
// access completes.
void on_fault(int sig, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    const char* what = nullptr;
    uintptr_t begin = 0, end = 0;
    {
        std::unique_lock<host::sched::Mutex> guard(ranges_lock(), std::try_to_lock);
        if (guard.owns_lock()) {
            auto& map = ranges();
            auto it = map.upper_bound(address);
            if (it != map.begin()) {
                --it;
                if (address < it->second.end) {
                    begin = it->first;
                    end = it->second.end;
                    what = it->second.what.c_str();
                    mprotect(reinterpret_cast<void*>(begin), end - begin, PROT_READ | PROT_WRITE);
                    verifier::bugcheck_from_signal(verifier::kPageFaultInNonPagedArea, what, address);
                }
            }
        }
    }
    if (!what) chain_fault(g_previous, sig, info, context);
}

void install_handler() {
    static std::once_flag once;
    std::call_once(once, [] { install_fault_handler(on_fault, g_previous); });
}

void track(void* p, size_t size, const std::string& what) {
    install_handler();
    const auto begin = reinterpret_cast<uintptr_t>(p);
    std::lock_guard<host::sched::Mutex> guard(ranges_lock());
    ranges()[begin] = Range{begin + round_up(size), what};
}

}  // namespace

void install_fault_handler(void (*handler)(int, siginfo_t*, void*), struct sigaction& previous) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &previous);
}

void chain_fault(const struct sigaction& previous, int sig, siginfo_t* info, void* context) {
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction) {
            previous.sa_sigaction(sig, info, context);
            return;
        }
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(sig);
        return;
    }
    signal(sig, SIG_DFL);
}

size_t page_size() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

void* allocate(size_t size) {
    void* p = mmap(nullptr, round_up(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        std::perror("mmap");
        std::abort();
    }
    return p;
}

void retire(void* p, size_t size, const std::string& what) {
    if (!p) return;
    // A fresh inaccessible mapping over the range: its pages are released, its addresses are
    // never handed out again.
    mmap(p, round_up(size), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
    QH_POISON(p, round_up(size));
    track(p, size, what);
}

void protect(void* p, size_t size, const std::string& what) {
    if (!p || !size) return;
    track(p, size, what);
    mprotect(p, round_up(size), PROT_NONE);
}

void unprotect(void* p, size_t size) {
    if (!p || !size) return;
    {
        std::lock_guard<host::sched::Mutex> guard(ranges_lock());
        ranges().erase(reinterpret_cast<uintptr_t>(p));
    }
    mprotect(p, round_up(size), PROT_READ | PROT_WRITE);
}

void forget(void* p, size_t size) {
    const auto begin = reinterpret_cast<uintptr_t>(p);
    std::lock_guard<host::sched::Mutex> guard(ranges_lock());
    auto& map = ranges();
    map.erase(map.lower_bound(begin), map.lower_bound(begin + size));
}

}  // namespace host::guarded
