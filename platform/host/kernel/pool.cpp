// Host kernel: non-paged pool with tags, accounting, failure injection and Verifier-style checks.
// Every block is a special-pool block on a run of pages of its own with an inaccessible page
// after it. As Driver Verifier's special pool does by default (it verifies the end), a block under
// a page ends where its page ends, less what keeps it 16-byte aligned, so reading or writing past
// it faults at once; pattern bytes fill the rest of its page and are checked at free. A block of a
// page or more starts its pages (page-aligned) and has at least kTrailer pattern bytes after it.
// Once freed, a block's pages stay inaccessible in a bounded quarantine.
#include <cstdlib>
#include <deque>
#include <mutex>
#include <set>
#include <unordered_map>

#include "platform/host/kernel/kernel_private.h"
#include "platform/host/sched/sched.h"
#include "platform/host/diag/trace.h"

namespace host {
namespace detail {
namespace {

constexpr unsigned char kFreshPattern = 0xA5;  // new blocks: not zero, so missing initialisation shows
constexpr unsigned char kGuardPattern = 0xFD;  // bytes after the block, checked at free
constexpr size_t kTrailer = 16;
constexpr size_t kPage = 4096;
constexpr size_t kQuarantineBlocks = 256;
constexpr size_t kQuarantineBytes = 64u << 20;

constexpr size_t kAlignment = 16;

struct Block {
    size_t size = 0;
    size_t span = 0;    // the block's pages (whole pages; an inaccessible page follows them)
    size_t offset = 0;  // where the block starts in its first page
    ULONG tag = 0;
    const void* site = nullptr;
};

struct Pool {
    host::sched::Mutex lock;
    std::unordered_map<void*, Block> live;
    std::unordered_map<void*, Block> forgotten;  // live at a reset; freeable without accounting
    std::deque<std::pair<void*, Block>> quarantine;
    size_t quarantine_bytes = 0;
    std::map<ULONG, PoolUsage> by_tag;
    PoolUsage total;
    uint64_t fail_countdown = 0;  // 0 = off
    std::set<size_t> fail_sizes;
    std::set<ULONG> fail_tags;
};

Pool& pool() {
    static auto* p = new Pool;
    return *p;
}

bool in_quarantine(Pool& p, void* ptr) {
    for (auto& [q, b] : p.quarantine)
        if (q == ptr) return true;
    return false;
}

void release_quarantine(Pool& p) {
    while (p.quarantine.size() > kQuarantineBlocks || p.quarantine_bytes > kQuarantineBytes) {
        auto [ptr, b] = p.quarantine.front();
        p.quarantine.pop_front();
        p.quarantine_bytes -= b.span;
        unmap_pages(static_cast<unsigned char*>(ptr) - b.offset, b.span + kPage);
    }
}

bool printable_tag(ULONG tag) {
    for (int i = 0; i < 4; ++i) {
        unsigned c = (tag >> (8 * i)) & 0xFF;
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

void free_block(PVOID P, bool check_tag, ULONG Tag, const char* service) {
    if (!check_irql(service, DISPATCH_LEVEL)) return;
    if (!P) {
        verifier::bugcheck(verifier::kBadPoolCaller, std::string(service) + " of a NULL pointer");
        return;
    }
    Pool& p = pool();
    Block b;
    {
        std::lock_guard<host::sched::Mutex> guard(p.lock);
        auto it = p.live.find(P);
        if (it == p.live.end()) {
            auto f = p.forgotten.find(P);
            if (f != p.forgotten.end()) {
                // Left over from before a reset: release quietly.
                const Block left = f->second;
                p.forgotten.erase(f);
                auto* base = static_cast<unsigned char*>(P) - left.offset;
                forget_guard_page(base + left.span);
                unmap_pages(base, left.span + kPage);
                return;
            }
            bool twice = in_quarantine(p, P);
            std::string msg =
                std::string(service) + " of " + ptr(P) +
                (twice ? ": block already freed (double free)" : ": address did not come from the pool (bad pointer)");
            // The bug check may return under a capture; it must not run with the pool locked.
            p.lock.unlock();
            verifier::bugcheck(verifier::kBadPoolCaller, msg);
            p.lock.lock();
            return;
        }
        b = it->second;
        if (check_tag && (Tag & 0x7FFFFFFF) != (b.tag & 0x7FFFFFFF)) {
            std::string msg = std::string(service) + " of " + ptr(P) + " with tag " + tag_name(Tag) +
                              "; the block was allocated with tag " + tag_name(b.tag);
            p.lock.unlock();
            verifier::bugcheck(verifier::kBadPoolCaller, msg);
            p.lock.lock();
            return;
        }
    }
    auto* base = static_cast<unsigned char*>(P) - b.offset;
    for (size_t i = 0; i < b.span; ++i) {
        if (i == b.offset) i += b.size;
        if (i < b.span && base[i] != kGuardPattern) {
            const bool before = i < b.offset;
            const size_t distance = before ? b.offset - i : i - b.offset;
            verifier::bugcheck(verifier::kDriverVerifierViolation,
                               std::string(service) + " of " + ptr(P) + " (" + std::to_string(b.size) + " bytes, tag " +
                                   tag_name(b.tag) + "): written " + (before ? "before its start" : "past its end") +
                                   " at offset " + (before ? "-" : "") + std::to_string(distance) +
                                   (before ? " (pool underrun)" : " (pool overrun)"));
            break;
        }
    }
    // Freeing it would leave the timer or DPC queue pointing into freed memory: refuse.
    if (!check_freed_range(P, b.size, "freed pool block")) return;
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    if (p.live.erase(P) == 0) return;  // freed concurrently: the other free accounted for it
    auto& tag = p.by_tag[b.tag];
    --tag.live_blocks;
    tag.live_bytes -= b.size;
    --p.total.live_blocks;
    p.total.live_bytes -= b.size;
    forget_guard_page(base + b.span);
    protect_freed(base, b.span + kPage, "freed pool block", verifier::kPageFaultInFreedSpecialPool);
    p.quarantine.emplace_back(P, b);
    p.quarantine_bytes += b.span;
    release_quarantine(p);
}

}  // namespace

void reset_pool() {
    Pool& p = pool();
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    for (auto& [ptr, b] : p.live)
        p.forgotten.emplace(ptr, b);
    p.live.clear();
    p.by_tag.clear();
    p.total = PoolUsage{};
    p.fail_countdown = 0;
    p.fail_sizes.clear();
    p.fail_tags.clear();
}

size_t pool_leaks(std::string& report) {
    Pool& p = pool();
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    std::map<ULONG, std::vector<std::pair<void*, Block>>> per_tag;
    for (auto& [ptr, b] : p.live)
        per_tag[b.tag].emplace_back(ptr, b);
    for (auto& [tag, blocks] : per_tag) {
        size_t bytes = 0;
        for (auto& [ptr, b] : blocks)
            bytes += b.size;
        report += "pool: " + std::to_string(blocks.size()) + " block(s), " + std::to_string(bytes) +
                  " bytes with tag " + tag_name(tag) + " still allocated";
        size_t shown = 0;
        for (auto& [ptr, b] : blocks) {
            if (shown++ == 4) {
                report += ", ...";
                break;
            }
            report += (shown == 1 ? ": " : ", ") + detail::ptr(ptr) + " (" + std::to_string(b.size) +
                      " bytes, allocated at " + detail::ptr(b.site) + ")";
        }
        report += "\n";
    }
    return p.live.size();
}

}  // namespace detail

using namespace detail;

PoolUsage pool_usage() {
    Pool& p = pool();
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    return p.total;
}

PoolUsage pool_usage(ULONG tag) {
    Pool& p = pool();
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    auto it = p.by_tag.find(tag);
    return it == p.by_tag.end() ? PoolUsage{} : it->second;
}

std::map<ULONG, PoolUsage> pool_usage_by_tag() {
    Pool& p = pool();
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    return p.by_tag;
}

void fail_pool_nth(uint64_t n) {
    Pool& p = pool();
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    p.fail_countdown = n;
}

void fail_pool_size(size_t size) {
    Pool& p = pool();
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    p.fail_sizes.insert(size);
}

void fail_pool_tag(ULONG tag) {
    Pool& p = pool();
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    p.fail_tags.insert(tag);
}

void clear_pool_failures() {
    Pool& p = pool();
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    p.fail_countdown = 0;
    p.fail_sizes.clear();
    p.fail_tags.clear();
}

std::string tag_name(ULONG tag) {
    std::string source, dump;
    for (int i = 3; i >= 0; --i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        source += (c >= 0x20 && c <= 0x7E) ? c : '.';
    }
    dump.assign(source.rbegin(), source.rend());
    return source + " (dump " + dump + ")";
}

size_t check_leaks(const char* context) {
    std::string report;
    size_t leaks = pool_leaks(report) + dma_leaks(report);
    if (leaks) {
        verifier::bugcheck(verifier::kDriverVerifierViolation, std::string(context ? context : "leak check") + ": " +
                                                                   std::to_string(leaks) + " allocation(s) leaked\n" +
                                                                   report);
    }
    return leaks;
}

std::string leak_report() {
    std::string report;
    pool_leaks(report);
    dma_leaks(report);
    return report;
}

}  // namespace host

using namespace host;
using namespace host::detail;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    const void* site = __builtin_return_address(0);
    if (!check_irql("ExAllocatePoolWithTag", PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL)) return nullptr;
    if (PoolType == NonPagedPool) {
        // Driver Verifier's code-integrity check (0xC4, 0x2000): executable pool is refused under
        // memory integrity; non-paged data belongs in NonPagedPoolNx.
        verifier::bugcheck(verifier::kDriverVerifierViolation,
                           "ExAllocatePoolWithTag of executable pool (NonPagedPool) with tag " + tag_name(Tag) +
                               " from " + ptr(site) + "; code integrity expects NonPagedPoolNx");
        return nullptr;
    }
    if (NumberOfBytes == 0) {
        verifier::bugcheck(verifier::kDriverVerifierViolation,
                           "ExAllocatePoolWithTag of zero bytes with tag " + tag_name(Tag) + " from " + ptr(site));
        return nullptr;
    }
    if (!printable_tag(Tag)) verifier::diagnostic("pool tag " + tag_name(Tag) + " has non-printable bytes");
    Pool& p = pool();
    {
        std::lock_guard<host::sched::Mutex> guard(p.lock);
        bool fail = p.fail_sizes.count(NumberOfBytes) || p.fail_tags.count(Tag);
        if (p.fail_countdown && --p.fail_countdown == 0) fail = true;
        if (fail) {
            ++p.total.failures;
            ++p.by_tag[Tag].failures;
            return nullptr;
        }
    }
    size_t span = (NumberOfBytes + kPage - 1) / kPage * kPage;
    if (NumberOfBytes >= kPage && span - NumberOfBytes < kTrailer) span += kPage;
    const size_t offset = NumberOfBytes < kPage ? (kPage - NumberOfBytes) & ~(kAlignment - 1) : 0;
    auto* base = static_cast<unsigned char*>(map_pages(span + kPage));
    if (!base) return nullptr;
    unsigned char* block = base + offset;
    protect_pages(base + span, kPage);
    guard_page_after(base + span, block);
    std::memset(base, kGuardPattern, span);
    std::memset(block, kFreshPattern, NumberOfBytes);
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    p.live.emplace(block, Block{NumberOfBytes, span, offset, Tag, site});
    auto& tag = p.by_tag[Tag];
    ++tag.live_blocks;
    tag.live_bytes += NumberOfBytes;
    ++tag.allocations;
    ++p.total.live_blocks;
    p.total.live_bytes += NumberOfBytes;
    ++p.total.allocations;
    return block;
}

void ExFreePool(PVOID P) { free_block(P, false, 0, "ExFreePool"); }

void ExFreePoolWithTag(PVOID P, ULONG Tag) { free_block(P, true, Tag, "ExFreePoolWithTag"); }
