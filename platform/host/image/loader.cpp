// The PE32+ loader for the shipped image and the fault handler that emulates what its inlined
// WDK code does in kernel mode only.
#include "platform/host/image/image_loader.h"
#include "platform/host/sched/sched.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <unistd.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <vector>

#include "platform/host/bus/bus.h"
#include "platform/host/diag/guarded.h"
#include "platform/host/diag/symbols.h"
#include "platform/host/diag/verifier.h"

namespace host::image {
namespace {

// The C library routines ntoskrnl exports: the image calls them with the Windows convention.
extern "C" NTAPI void* image_memcpy(void* d, const void* s, size_t n) { return std::memcpy(d, s, n); }
extern "C" NTAPI void* image_memmove(void* d, const void* s, size_t n) { return std::memmove(d, s, n); }
extern "C" NTAPI void* image_memset(void* d, int c, size_t n) { return std::memset(d, c, n); }
extern "C" NTAPI int image_memcmp(const void* a, const void* b, size_t n) { return std::memcmp(a, b, n); }

struct Export {
    const char* module;
    const char* name;
    const void* address;
};

#define QH_EXPORT(module, name) \
    { module, #name, reinterpret_cast<const void*>(&name) }
const Export kExports[] = {
    QH_EXPORT("ks.sys", KsAddDevice),
    QH_EXPORT("ks.sys", KsAddItemToObjectBag),
    QH_EXPORT("ks.sys", KsCreateDevice),
    QH_EXPORT("ks.sys", KsGetDevice),
    QH_EXPORT("ks.sys", KsGetFilterFromIrp),
    QH_EXPORT("ks.sys", KsGetPinFromIrp),
    QH_EXPORT("ks.sys", KsInitializeDriver),
    QH_EXPORT("ks.sys", KsPinAcquireProcessingMutex),
    QH_EXPORT("ks.sys", KsPinAttemptProcessing),
    QH_EXPORT("ks.sys", KsPinGetLeadingEdgeStreamPointer),
    QH_EXPORT("ks.sys", KsPinGetParentFilter),
    QH_EXPORT("ks.sys", KsPinGetReferenceClockInterface),
    QH_EXPORT("ks.sys", KsPinReleaseProcessingMutex),
    QH_EXPORT("ks.sys", KsStreamPointerAdvance),
    QH_EXPORT("ks.sys", KsStreamPointerUnlock),
    QH_EXPORT("ks.sys", _KsEdit),
    QH_EXPORT("ntoskrnl.exe", DbgPrint),
    QH_EXPORT("ntoskrnl.exe", ExAllocatePoolWithTag),
    QH_EXPORT("ntoskrnl.exe", ExFreePool),
    QH_EXPORT("ntoskrnl.exe", ExFreePoolWithTag),
    QH_EXPORT("ntoskrnl.exe", IoConnectInterruptEx),
    QH_EXPORT("ntoskrnl.exe", IoDisconnectInterrupt),
    QH_EXPORT("ntoskrnl.exe", IoDisconnectInterruptEx),
    QH_EXPORT("ntoskrnl.exe", IoGetDmaAdapter),
    QH_EXPORT("ntoskrnl.exe", IoOpenDeviceRegistryKey),
    QH_EXPORT("ntoskrnl.exe", KeCancelTimer),
    QH_EXPORT("ntoskrnl.exe", KeClearEvent),
    QH_EXPORT("ntoskrnl.exe", KeDelayExecutionThread),
    QH_EXPORT("ntoskrnl.exe", KeFlushQueuedDpcs),
    QH_EXPORT("ntoskrnl.exe", KeInitializeDpc),
    QH_EXPORT("ntoskrnl.exe", KeInitializeEvent),
    QH_EXPORT("ntoskrnl.exe", KeInitializeMutex),
    QH_EXPORT("ntoskrnl.exe", KeInitializeTimer),
    QH_EXPORT("ntoskrnl.exe", KeInsertQueueDpc),
    QH_EXPORT("ntoskrnl.exe", KeReadStateEvent),
    QH_EXPORT("ntoskrnl.exe", KeReadStateMutex),
    QH_EXPORT("ntoskrnl.exe", KeReadStateTimer),
    QH_EXPORT("ntoskrnl.exe", KeReleaseMutex),
    QH_EXPORT("ntoskrnl.exe", KeRemoveQueueDpc),
    QH_EXPORT("ntoskrnl.exe", KeResetEvent),
    QH_EXPORT("ntoskrnl.exe", KeSetEvent),
    QH_EXPORT("ntoskrnl.exe", KeSetImportanceDpc),
    QH_EXPORT("ntoskrnl.exe", KeSetTimer),
    QH_EXPORT("ntoskrnl.exe", KeStallExecutionProcessor),
    QH_EXPORT("ntoskrnl.exe", KeSynchronizeExecution),
    QH_EXPORT("ntoskrnl.exe", KeWaitForSingleObject),
    QH_EXPORT("ntoskrnl.exe", MmMapIoSpace),
    QH_EXPORT("ntoskrnl.exe", MmMapIoSpaceEx),
    QH_EXPORT("ntoskrnl.exe", MmUnmapIoSpace),
    QH_EXPORT("ntoskrnl.exe", RtlAssert),
    QH_EXPORT("ntoskrnl.exe", RtlCompareMemory),
    QH_EXPORT("ntoskrnl.exe", ZwClose),
    QH_EXPORT("ntoskrnl.exe", ZwQueryValueKey),
    QH_EXPORT("hal.dll", KeQueryPerformanceCounter),
    QH_EXPORT("hal.dll", KeStallExecutionProcessor),
    {"ntoskrnl.exe", "memcpy", reinterpret_cast<const void*>(&image_memcpy)},
    {"ntoskrnl.exe", "memmove", reinterpret_cast<const void*>(&image_memmove)},
    {"ntoskrnl.exe", "memset", reinterpret_cast<const void*>(&image_memset)},
    {"ntoskrnl.exe", "memcmp", reinterpret_cast<const void*>(&image_memcmp)},
};
#undef QH_EXPORT

bool same_module(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

const void* find_export(const char* module, const char* name) {
    for (const Export& e : kExports)
        if (same_module(e.module, module) && std::strcmp(e.name, name) == 0) return e.address;
    return nullptr;
}

// ---- the loaded images' code ranges, readable from the fault handler ------------------------

constexpr size_t kMaxImages = 16;
struct CodeRange {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
};
CodeRange g_code[kMaxImages];
host::sched::Mutex g_code_lock;  // writers only
std::atomic<uint64_t> g_emulated{0};
std::atomic<uint64_t> g_loads{0};
struct sigaction g_previous {};

bool in_image_code(uintptr_t ip, uintptr_t* image_begin) {
    for (CodeRange& r : g_code) {
        const uintptr_t b = r.begin.load(std::memory_order_acquire);
        if (b && ip >= b && ip < r.end.load(std::memory_order_relaxed)) {
            *image_begin = b;
            return true;
        }
    }
    return false;
}

void say(const char* text) { (void)!write(STDERR_FILENO, text, std::strlen(text)); }

// Windows' register numbering to the Linux signal context's.
constexpr int kGreg[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                           REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

enum class Emulated { Done, NotOurs, Unknown, FastFail };

// Decodes the faulting instruction of the image. Two kinds are the image's own, on Windows legal:
// `mov %cr8, r64` (the inlined KeGetCurrentIrql) and 32-bit `mov` loads and stores into a mapped
// register window (the inlined READ/WRITE_REGISTER_ULONG). Anything else in the image is refused
// loudly: a compiler change that alters these forms must not go unnoticed.
Emulated emulate(ucontext_t* uc, uintptr_t address) {
    greg_t* g = uc->uc_mcontext.gregs;
    const auto* ip = reinterpret_cast<const uint8_t*>(g[REG_RIP]);
    // int 0x29: the kernel's fast-fail (a stack cookie check that failed, ...). Not emulated but
    // stopped on, as Windows does.
    if (ip[0] == 0xCD && ip[1] == 0x29) return Emulated::FastFail;
    size_t n = 0;
    uint8_t rex = 0;
    if ((ip[n] & 0xF0) == 0x40) rex = ip[n++];
    const int rex_r = (rex & 4) ? 8 : 0, rex_b = (rex & 1) ? 8 : 0;
    if (ip[n] == 0x0F && ip[n + 1] == 0x20) {
        const uint8_t modrm = ip[n + 2];
        if ((modrm >> 6) != 3 || (((modrm >> 3) & 7) | rex_r) != 8) return Emulated::Unknown;
        g[kGreg[(modrm & 7) | rex_b]] = static_cast<greg_t>(KeGetCurrentIrql());
        g[REG_RIP] += static_cast<greg_t>(n + 3);
        g_emulated.fetch_add(1, std::memory_order_relaxed);
        return Emulated::Done;
    }
    const uint8_t opcode = ip[n];
    if ((rex & 8) || (opcode != 0x8B && opcode != 0x89 && opcode != 0xC7)) return Emulated::Unknown;
    const uint8_t modrm = ip[n + 1];
    const int mod = modrm >> 6, rm = modrm & 7, reg = ((modrm >> 3) & 7) | rex_r;
    if (mod == 3) return Emulated::Unknown;
    size_t length = n + 2;
    if (rm == 4) {
        const uint8_t sib = ip[length++];
        if ((sib & 7) == 5 && mod == 0) length += 4;
    } else if (rm == 5 && mod == 0) {
        length += 4;
    }
    length += mod == 1 ? 1 : (mod == 2 ? 4 : 0);
    if (!host::is_register_address(reinterpret_cast<void*>(address))) return Emulated::NotOurs;
    auto* target = reinterpret_cast<volatile ULONG*>(address);
    if (opcode == 0x8B) {
        // A 32-bit destination zero-extends into the whole register, as the CPU does.
        g[kGreg[reg]] = static_cast<greg_t>(static_cast<uint64_t>(READ_REGISTER_ULONG(target)));
    } else if (opcode == 0x89) {
        WRITE_REGISTER_ULONG(target, static_cast<ULONG>(g[kGreg[reg]]));
    } else {
        if ((reg & 7) != 0) return Emulated::Unknown;
        uint32_t immediate;
        std::memcpy(&immediate, ip + length, 4);
        length += 4;
        WRITE_REGISTER_ULONG(target, immediate);
    }
    g[REG_RIP] += static_cast<greg_t>(length);
    g_emulated.fetch_add(1, std::memory_order_relaxed);
    return Emulated::Done;
}

void on_fault(int sig, siginfo_t* info, void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
    const auto ip = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    uintptr_t image = 0;
    if (in_image_code(ip, &image)) {
        const Emulated result = emulate(uc, reinterpret_cast<uintptr_t>(info->si_addr));
        if (result == Emulated::Done) return;
        if (result == Emulated::FastFail) {
            const auto code = static_cast<uint32_t>(uc->uc_mcontext.gregs[REG_RCX]);
            char what[200];
            std::snprintf(what, sizeof what, "fast-fail code %u at quadhdmi.sys+0x%llx: %s", code,
                          static_cast<unsigned long long>(ip - image), verifier::fast_fail_reason(code));
            verifier::fatal_stop(verifier::kKernelSecurityCheckFailure, what);
        }
        char text[200];
        std::snprintf(
            text, sizeof text, "*** image fault at quadhdmi.sys+0x%llx (address 0x%llx): %s\n",
            static_cast<unsigned long long>(ip - image),
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(info->si_addr)),
            result == Emulated::Unknown ? "an instruction the host does not emulate" : "not a register window");
        say(text);
    }
    guarded::chain_fault(g_previous, sig, info, context);
}

void install_handler() {
    static std::once_flag once;
    std::call_once(once, [] { guarded::install_fault_handler(on_fault, g_previous); });
}

// ---- PE32+ ----------------------------------------------------------------------------------

template <typename T>
bool read_at(const std::vector<uint8_t>& file, size_t offset, T& out) {
    if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
    std::memcpy(&out, file.data() + offset, sizeof(T));
    return true;
}

struct Section {
    uint32_t virtual_address, virtual_size, raw_offset, raw_size, characteristics;
};

constexpr uint32_t kScnExecute = 0x20000000, kScnRead = 0x40000000, kScnWrite = 0x80000000;

}  // namespace

uint64_t load_count() { return g_loads.load(std::memory_order_relaxed); }

uint64_t emulated_count() { return g_emulated.load(std::memory_order_relaxed); }

Image::~Image() {
    if (!base_) return;
    {
        std::lock_guard<host::sched::Mutex> guard(g_code_lock);
        for (CodeRange& r : g_code)
            if (r.begin.load() == base_) r.begin.store(0, std::memory_order_release);
    }
    symbols::remove_image(base_);
    munmap(reinterpret_cast<void*>(base_), size_);
}

std::shared_ptr<Image> load(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read";
        return nullptr;
    }
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto fail = [&](const std::string& why) {
        error = path + ": " + why;
        return nullptr;
    };
    uint32_t pe = 0, signature = 0;
    uint16_t machine = 0, section_count = 0, optional_size = 0, magic = 0;
    if (file.size() < 64 || file[0] != 'M' || file[1] != 'Z' || !read_at(file, 0x3C, pe) ||
        !read_at(file, pe, signature) || signature != 0x00004550)
        return fail("not a PE image");
    read_at(file, pe + 4, machine);
    read_at(file, pe + 6, section_count);
    read_at(file, pe + 20, optional_size);
    const size_t opt = pe + 24;
    if (machine != 0x8664 || !read_at(file, opt, magic) || magic != 0x20B) return fail("not a PE32+ x64 image");
    uint64_t image_base = 0;
    uint32_t entry_rva = 0, section_alignment = 0, image_size = 0, headers_size = 0, directory_count = 0;
    read_at(file, opt + 16, entry_rva);
    read_at(file, opt + 24, image_base);
    read_at(file, opt + 32, section_alignment);
    read_at(file, opt + 56, image_size);
    read_at(file, opt + 60, headers_size);
    read_at(file, opt + 108, directory_count);
    const long page = sysconf(_SC_PAGESIZE);
    if (section_alignment % page != 0) return fail("sections are not page-aligned");
    auto directory = [&](uint32_t index, uint32_t& rva, uint32_t& size) {
        rva = size = 0;
        if (index >= directory_count) return;
        read_at(file, opt + 112 + 8 * index, rva);
        read_at(file, opt + 116 + 8 * index, size);
    };
    uint32_t tls_rva, tls_size;
    directory(9, tls_rva, tls_size);
    if (tls_size) return fail("the image has thread-local storage");

    std::vector<Section> sections(section_count);
    for (uint16_t i = 0; i < section_count; ++i) {
        const size_t h = opt + optional_size + 40 * i;
        Section& s = sections[i];
        if (!read_at(file, h + 8, s.virtual_size) || !read_at(file, h + 12, s.virtual_address) ||
            !read_at(file, h + 16, s.raw_size) || !read_at(file, h + 20, s.raw_offset) ||
            !read_at(file, h + 36, s.characteristics))
            return fail("truncated section table");
        if (s.virtual_address + static_cast<uint64_t>(s.virtual_size) > image_size ||
            s.raw_offset + static_cast<uint64_t>(s.raw_size) > file.size())
            return fail("a section lies outside the image");
    }

    void* mapping = mmap(nullptr, image_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return fail(std::string("mmap: ") + std::strerror(errno));
    std::shared_ptr<Image> image(new Image);
    image->base_ = reinterpret_cast<uintptr_t>(mapping);
    image->size_ = image_size;
    image->path_ = path;
    auto* base = static_cast<uint8_t*>(mapping);
    std::memcpy(base, file.data(), std::min<size_t>(headers_size, file.size()));
    for (const Section& s : sections)
        std::memcpy(base + s.virtual_address, file.data() + s.raw_offset, std::min(s.raw_size, s.virtual_size));
    auto inside = [&](uint64_t rva, uint64_t size) { return rva <= image_size && image_size - rva >= size; };

    // Base relocations: the image is linked for image_base and lands wherever mmap put it.
    uint32_t reloc_rva, reloc_size;
    directory(5, reloc_rva, reloc_size);
    const uint64_t delta = image->base_ - image_base;
    for (uint32_t at = reloc_rva; reloc_size && at < reloc_rva + reloc_size;) {
        uint32_t page_rva, block_size;
        if (!inside(at, 8)) return fail("relocation block outside the image");
        std::memcpy(&page_rva, base + at, 4);
        std::memcpy(&block_size, base + at + 4, 4);
        if (block_size < 8 || !inside(at, block_size)) return fail("malformed relocation block");
        for (uint32_t e = 8; e + 2 <= block_size; e += 2) {
            uint16_t entry;
            std::memcpy(&entry, base + at + e, 2);
            const unsigned type = entry >> 12;
            const uint32_t target = page_rva + (entry & 0xFFF);
            if (type == 0) continue;  // padding
            if (type != 10) return fail("relocation of type " + std::to_string(type) + " (only DIR64 is expected)");
            if (!inside(target, 8)) return fail("relocation outside the image");
            uint64_t value;
            std::memcpy(&value, base + target, 8);
            value += delta;
            std::memcpy(base + target, &value, 8);
        }
        at += block_size;
    }

    // Imports, by module and name; the host must implement every one.
    uint32_t import_rva, import_size;
    directory(1, import_rva, import_size);
    for (uint32_t d = import_rva; import_size; d += 20) {
        if (!inside(d, 20)) return fail("import directory outside the image");
        uint32_t lookup_rva, name_rva, iat_rva;
        std::memcpy(&lookup_rva, base + d, 4);
        std::memcpy(&name_rva, base + d + 12, 4);
        std::memcpy(&iat_rva, base + d + 16, 4);
        if (!name_rva) break;
        if (!inside(name_rva, 1)) return fail("import module name outside the image");
        const char* module = reinterpret_cast<const char*>(base + name_rva);
        if (!lookup_rva) lookup_rva = iat_rva;
        for (uint32_t k = 0;; ++k) {
            if (!inside(lookup_rva + 8ull * k, 8) || !inside(iat_rva + 8ull * k, 8))
                return fail("import table outside the image");
            uint64_t thunk;
            std::memcpy(&thunk, base + lookup_rva + 8 * k, 8);
            if (!thunk) break;
            if (thunk >> 63) return fail(std::string("import by ordinal from ") + module);
            if (!inside((thunk & 0x7FFFFFFF) + 2, 1)) return fail("import name outside the image");
            const char* name = reinterpret_cast<const char*>(base + (thunk & 0x7FFFFFFF) + 2);
            const void* address = find_export(module, name);
            if (!address)
                return fail(std::string("imports ") + module + "!" + name + ", which the host does not implement");
            const auto value = reinterpret_cast<uint64_t>(address);
            std::memcpy(base + iat_rva + 8 * k, &value, 8);
        }
    }

    // The stack cookie the load configuration names: Windows' loader replaces its initial value
    // with a random one at every load, and refuses an image whose cookie holds anything else (it
    // would not know whether the image had been tampered with).
    uint32_t config_rva, config_size;
    directory(10, config_rva, config_size);
    constexpr uint32_t kCookieField = 0x58, kGuardFlagsField = 0x90;
    constexpr uint32_t kGuardSecurityCookieUnused = 0x800;
    constexpr uint64_t kInitialCookie = 0x00002B992DDFA232ull;
    if (config_size) {
        uint32_t declared = 0, guard_flags = 0;
        if (!inside(config_rva, 4)) return fail("load configuration outside the image");
        std::memcpy(&declared, base + config_rva, 4);
        if (declared < kCookieField + 8 || !inside(config_rva, declared)) return fail("malformed load configuration");
        if (declared >= kGuardFlagsField + 4) std::memcpy(&guard_flags, base + config_rva + kGuardFlagsField, 4);
        uint64_t cookie_va = 0;
        std::memcpy(&cookie_va, base + config_rva + kCookieField, 8);
        if (cookie_va && !(guard_flags & kGuardSecurityCookieUnused)) {
            const uint64_t cookie_rva = cookie_va - image->base_;
            if (cookie_va < image->base_ || !inside(cookie_rva, 8))
                return fail("the security cookie lies outside the image");
            uint64_t cookie;
            std::memcpy(&cookie, base + cookie_rva, 8);
            if (cookie != kInitialCookie) return fail("the security cookie does not hold its initial value");
            std::random_device random;
            do {
                cookie = ((uint64_t{random()} << 32) | random()) & 0x0000FFFFFFFFFFFFull;
            } while (cookie == 0 || cookie == kInitialCookie);
            std::memcpy(base + cookie_rva, &cookie, 8);
            image->cookie_ = image->base_ + cookie_rva;
        }
    }

    // Protections as the section table says; the headers read-only.
    mprotect(base, (headers_size + page - 1) / page * page, PROT_READ);
    uintptr_t code_end = 0;
    for (const Section& s : sections) {
        int protection = PROT_NONE;
        if (s.characteristics & kScnRead) protection |= PROT_READ;
        if (s.characteristics & kScnWrite) protection |= PROT_WRITE;
        if (s.characteristics & kScnExecute) protection |= PROT_EXEC;
        if ((protection & PROT_WRITE) && (protection & PROT_EXEC)) return fail("a section is writable and executable");
        const size_t span = (std::max(s.virtual_size, 1u) + page - 1) / page * page;
        if (mprotect(base + s.virtual_address, span, protection) != 0)
            return fail(std::string("mprotect: ") + std::strerror(errno));
        if (protection & PROT_EXEC)
            code_end = std::max<uintptr_t>(code_end, image->base_ + s.virtual_address + s.virtual_size);
    }
    if (!entry_rva || !inside(entry_rva, 1)) return fail("no entry point");

    install_handler();
    {
        std::lock_guard<host::sched::Mutex> guard(g_code_lock);
        CodeRange* free_range = nullptr;
        for (CodeRange& r : g_code)
            if (!r.begin.load() && !free_range) free_range = &r;
        if (!free_range) return fail("too many images loaded at once");
        free_range->end.store(code_end, std::memory_order_relaxed);
        // The handler reports offsets from the image base, so that is what it finds.
        free_range->begin.store(image->base_, std::memory_order_release);
    }
    image->entry_ = reinterpret_cast<pnp::DriverEntryRoutine>(base + entry_rva);
    symbols::add_image(image->base_, image->size_, path.substr(path.find_last_of('/') + 1));
    g_loads.fetch_add(1, std::memory_order_relaxed);
    return image;
}

}  // namespace host::image
