// The loader of the shipped image, on small PE32+ images built here: binding, relocation,
// protections, refusals, and the emulation of the kernel-mode instructions the WDK inlines.
#include "kernel_fixture.h"

#include "platform/host/bus/bus.h"
#include "platform/host/image/image_loader.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t kLinkBase = 0x140000000;
constexpr uint32_t kText = 0x1000, kRdata = 0x2000, kData = 0x3000, kReloc = 0x4000;
constexpr uint32_t kRX = 0x60000020, kR = 0x40000040, kRW = 0xC0000040;

template <typename T>
void put(std::vector<uint8_t>& v, size_t at, T value) {
    if (v.size() < at + sizeof(T)) v.resize(at + sizeof(T));
    std::memcpy(v.data() + at, &value, sizeof(T));
}

// A driver image as the windows build lays one out: one page per section, imports in .rdata,
// DIR64 relocations, the entry point at the start of .text.
struct PeImage {
    std::vector<uint8_t> text, data;
    uint32_t text_flags = kRX;
    std::string import_module = "ntoskrnl.exe", import_name;  // no import when the name is empty
    std::vector<uint32_t> relocations;                        // RVAs of 64-bit absolute addresses
    // A load configuration at kConfigRva naming the stack cookie at kCookieRva (which holds
    // `cookie`); its own relocation is the only one the image may then have.
    bool load_config = false;
    uint64_t cookie = 0x00002B992DDFA232ull;
    static constexpr uint32_t kConfigRva = kRdata + 0x400, kCookieRva = kData + 0x100;

    // Offset in .text of a `jmp *IAT[0]`: the import's address comes from the image's own table.
    static constexpr uint32_t kIatRva = kRdata + 128;

    std::string write() const {
        std::vector<uint8_t> f(0x5000, 0);
        f[0] = 'M';
        f[1] = 'Z';
        put<uint32_t>(f, 0x3C, 0x40);
        put<uint32_t>(f, 0x40, 0x00004550);
        put<uint16_t>(f, 0x44, 0x8664);
        put<uint16_t>(f, 0x46, 4);
        put<uint16_t>(f, 0x54, 240);
        put<uint16_t>(f, 0x56, 0x22);
        const size_t opt = 0x58;
        put<uint16_t>(f, opt, 0x20B);
        put<uint32_t>(f, opt + 16, kText);
        put<uint64_t>(f, opt + 24, kLinkBase);
        put<uint32_t>(f, opt + 32, 0x1000);
        put<uint32_t>(f, opt + 36, 0x1000);
        put<uint32_t>(f, opt + 56, 0x5000);
        put<uint32_t>(f, opt + 60, 0x1000);
        put<uint32_t>(f, opt + 108, 16);
        std::vector<uint8_t> rdata(0x1000, 0), reloc;
        if (!import_name.empty()) {
            put<uint32_t>(f, opt + 112 + 8 * 1, kRdata);
            put<uint32_t>(f, opt + 116 + 8 * 1, 40);
            put<uint32_t>(rdata, 0, kRdata + 64);    // lookup table
            put<uint32_t>(rdata, 12, kRdata + 256);  // module name
            put<uint32_t>(rdata, 16, kIatRva);
            put<uint64_t>(rdata, 64, kRdata + 192);
            put<uint64_t>(rdata, 128, kRdata + 192);
            std::memcpy(rdata.data() + 194, import_name.c_str(), import_name.size() + 1);
            std::memcpy(rdata.data() + 256, import_module.c_str(), import_module.size() + 1);
        }
        std::vector<uint32_t> relocations = this->relocations;
        if (load_config) {
            put<uint32_t>(rdata, kConfigRva - kRdata, 0x60);
            put<uint64_t>(rdata, kConfigRva - kRdata + 0x58, kLinkBase + kCookieRva);
            put<uint32_t>(f, opt + 112 + 8 * 10, kConfigRva);
            put<uint32_t>(f, opt + 116 + 8 * 10, 0x60);
            relocations = {kConfigRva + 0x58};
        }
        std::vector<uint8_t> data = this->data;
        if (load_config) put<uint64_t>(data, kCookieRva - kData, cookie);
        if (!relocations.empty()) {
            put<uint32_t>(reloc, 0, relocations[0] & ~0xFFFu);
            for (size_t i = 0; i < relocations.size(); ++i)
                put<uint16_t>(reloc, 8 + 2 * i, static_cast<uint16_t>(0xA000 | (relocations[i] & 0xFFF)));
            if (reloc.size() % 4) reloc.resize(reloc.size() + 2, 0);  // a type-0 padding entry
            put<uint32_t>(reloc, 4, static_cast<uint32_t>(reloc.size()));
            put<uint32_t>(f, opt + 112 + 8 * 5, kReloc);
            put<uint32_t>(f, opt + 116 + 8 * 5, static_cast<uint32_t>(reloc.size()));
        }
        struct S {
            const char* name;
            uint32_t rva, flags;
            const std::vector<uint8_t>* bytes;
        } sections[] = {{".text", kText, text_flags, &text},
                        {".rdata", kRdata, kR, &rdata},
                        {".data", kData, kRW, &data},
                        {".reloc", kReloc, kR, &reloc}};
        for (int i = 0; i < 4; ++i) {
            const size_t h = opt + 240 + 40 * i;
            std::memcpy(f.data() + h, sections[i].name, std::strlen(sections[i].name));
            put<uint32_t>(f, h + 8, 0x1000);
            put<uint32_t>(f, h + 12, sections[i].rva);
            put<uint32_t>(f, h + 16, 0x1000);
            put<uint32_t>(f, h + 20, sections[i].rva);
            put<uint32_t>(f, h + 36, sections[i].flags);
            if (!sections[i].bytes->empty())
                std::memcpy(f.data() + sections[i].rva, sections[i].bytes->data(),
                            std::min<size_t>(sections[i].bytes->size(), 0x1000));
        }
        char path[] = "/tmp/qh-image-XXXXXX";
        const int fd = mkstemp(path);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write_all(fd, f), true);
        close(fd);
        return path;
    }

    static bool write_all(int fd, const std::vector<uint8_t>& bytes) {
        return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
};

std::shared_ptr<host::image::Image> load(const PeImage& pe, std::string& error) {
    const std::string path = pe.write();
    auto image = host::image::load(path, error);
    std::remove(path.c_str());
    return image;
}

// The protection of the mapping that holds `address`, as /proc/self/maps shows it ("r-xp").
std::string protection_of(uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long long begin = 0, end = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%llx-%llx %4s", &begin, &end, perms) == 3 && address >= begin && address < end)
            return perms;
    }
    return "";
}

using ImageLoaderTest = KernelTest;

TEST_F(ImageLoaderTest, BindsImportsByModuleAndNameRelocatesAndKeepsSectionProtections) {
    PeImage pe;
    pe.import_name = "RtlCompareMemory";
    // jmp *[rip + disp32] to the import's slot: the entry point is the bound service itself.
    pe.text = {0xFF, 0x25};
    put<int32_t>(pe.text, 2, static_cast<int32_t>(PeImage::kIatRva - (kText + 6)));
    put<uint64_t>(pe.data, 0, kLinkBase + kText);
    put<uint64_t>(pe.data, 8, kLinkBase + kData + 8);
    pe.relocations = {kData, kData + 8};
    std::string error;
    auto image = load(pe, error);
    ASSERT_TRUE(image) << error;

    // Called with the Windows convention (third argument in r8), through the image's own table.
    using Compare = SIZE_T(NTAPI*)(const void*, const void*, SIZE_T);
    auto compare = reinterpret_cast<Compare>(reinterpret_cast<uintptr_t>(image->entry()));
    EXPECT_EQ(compare("abcdef", "abXdef", 6), 2u);
    EXPECT_EQ(compare("abcdef", "abcdef", 6), 6u);

    uint64_t pointers[2];
    std::memcpy(pointers, reinterpret_cast<const void*>(image->base() + kData), sizeof pointers);
    EXPECT_EQ(pointers[0], image->base() + kText);
    EXPECT_EQ(pointers[1], image->base() + kData + 8);

    EXPECT_EQ(protection_of(image->base()), "r--p");
    EXPECT_EQ(protection_of(image->base() + kText), "r-xp");
    EXPECT_EQ(protection_of(image->base() + kRdata), "r--p");
    EXPECT_EQ(protection_of(image->base() + kData), "rw-p");
}

TEST_F(ImageLoaderTest, RefusesImportsTheHostLacksAndWritableCode) {
    std::string error;
    PeImage missing;
    missing.text = {0xC3};
    missing.import_name = "ZwCreateFile";
    EXPECT_FALSE(load(missing, error));
    EXPECT_NE(error.find("ntoskrnl.exe!ZwCreateFile"), std::string::npos) << error;

    // The name alone is not enough: the service must come from the module that exports it.
    PeImage wrong_module = missing;
    wrong_module.import_name = "RtlCompareMemory";
    wrong_module.import_module = "ks.sys";
    EXPECT_FALSE(load(wrong_module, error));
    EXPECT_NE(error.find("ks.sys!RtlCompareMemory"), std::string::npos) << error;

    PeImage writable_code;
    writable_code.text = {0xC3};
    writable_code.text_flags = kRX | 0x80000000;
    EXPECT_FALSE(load(writable_code, error));
    EXPECT_NE(error.find("writable and executable"), std::string::npos) << error;

    EXPECT_FALSE(host::image::load("/nonexistent/quadhdmi.sys", error));
}

TEST_F(ImageLoaderTest, Cr8ReadsAndRegisterLoadsAndStoresAreEmulatedAgainstTheHost) {
#if defined(__SANITIZE_THREAD__)
    // An emulated register access runs the device's register handler inside the synchronous
    // fault handler, by design; the thread sanitizer reports every allocation or lock taken in
    // a signal handler as unsafe. The image runs in the host and address-sanitizer builds.
    GTEST_SKIP() << "register emulation runs device code in the fault handler";
#endif
    PeImage pe;
    pe.text.assign(0x80, 0xCC);
    auto code = [&](uint32_t at, std::vector<uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), pe.text.begin() + at);
    };
    code(0x00, {0x44, 0x0F, 0x20, 0xC0, 0xC3});                          // mov %cr8,%rax
    code(0x10, {0x45, 0x0F, 0x20, 0xC1, 0x4C, 0x89, 0xC8, 0xC3});        // mov %cr8,%r9; mov %r9,%rax
    code(0x20, {0x8B, 0x01, 0xC3});                                      // mov (%rcx),%eax
    code(0x30, {0x89, 0x11, 0xC3});                                      // mov %edx,(%rcx)
    code(0x40, {0xC7, 0x41, 0x04, 0x78, 0x56, 0x34, 0x12, 0xC3});        // movl $0x12345678,4(%rcx)
    code(0x50, {0x44, 0x8B, 0x44, 0x91, 0x08, 0x44, 0x89, 0xC0, 0xC3});  // mov 8(%rcx,%rdx,4),%r8d
    std::string error;
    auto image = load(pe, error);
    ASSERT_TRUE(image) << error;
    const uintptr_t text = image->base() + kText;
    using Irql = ULONG_PTR(NTAPI*)();
    using Read = ULONG_PTR(NTAPI*)(volatile ULONG*, ULONG_PTR);
    using Write = void(NTAPI*)(volatile ULONG*, ULONG);
    const uint64_t emulated = host::image::emulated_count();

    // The host creates a thread's IRQL state at its first call into the host, which every caller
    // of the image has made before (the class layer checks the IRQL around each callback); the
    // fault handler must not be the first, as it may not allocate.
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(reinterpret_cast<Irql>(text)(), static_cast<ULONG_PTR>(PASSIVE_LEVEL));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(reinterpret_cast<Irql>(text)(), static_cast<ULONG_PTR>(DISPATCH_LEVEL));
    EXPECT_EQ(reinterpret_cast<Irql>(text + 0x10)(), static_cast<ULONG_PTR>(DISPATCH_LEVEL));
    KeLowerIrql(old);

    FakeRegisters device(0x1000);
    const uint64_t physical = host::register_mmio(&device, 0x1000);
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(physical);
    auto* window = static_cast<volatile ULONG*>(MmMapIoSpaceEx(pa, 0x1000, PAGE_READWRITE | PAGE_NOCACHE));
    ASSERT_NE(window, nullptr);
    device.set(0x10, 0xCAFEF00D);
    device.set(8 + 4 * 3, 0x0BADBEEF);
    // The upper half of the destination is cleared, as a 32-bit load does.
    EXPECT_EQ(reinterpret_cast<Read>(text + 0x20)(window + 4, 0), 0xCAFEF00Du);
    reinterpret_cast<Write>(text + 0x30)(window + 8, 0xA5A5A5A5);
    reinterpret_cast<Write>(text + 0x40)(window + 8, 0);
    EXPECT_EQ(reinterpret_cast<Read>(text + 0x50)(window, 3), 0x0BADBEEFu);
    using A = RegisterAccess;
    EXPECT_EQ(
        device.log(),
        (std::vector<A>{
            {false, 0x10, 0xCAFEF00D}, {true, 0x20, 0xA5A5A5A5}, {true, 0x24, 0x12345678}, {false, 0x14, 0x0BADBEEF}}));
    EXPECT_EQ(host::image::emulated_count() - emulated, 7u);
    MmUnmapIoSpace(const_cast<ULONG*>(window), 0x1000);
    host::unregister_mmio(physical);
}

TEST_F(ImageLoaderTest, AFaultTheHostDoesNotEmulateStopsAndNamesTheOffsetInTheImage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PeImage pe;
    pe.text.assign(0x20, 0xCC);
    const std::vector<uint8_t> wide_load = {0x48, 0x8B, 0x01, 0xC3};  // mov (%rcx),%rax: 64 bits
    std::copy(wide_load.begin(), wide_load.end(), pe.text.begin() + 0x10);
    const std::vector<uint8_t> load32 = {0x8B, 0x01, 0xC3};  // mov (%rcx),%eax
    std::copy(load32.begin(), load32.end(), pe.text.begin());
    std::string error;
    auto image = load(pe, error);
    ASSERT_TRUE(image) << error;
    FakeRegisters device(0x1000);
    const uint64_t physical = host::register_mmio(&device, 0x1000);
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(physical);
    auto* window = static_cast<volatile ULONG*>(MmMapIoSpaceEx(pa, 0x1000, PAGE_READWRITE | PAGE_NOCACHE));
    ASSERT_NE(window, nullptr);
    using Read = ULONG_PTR(NTAPI*)(volatile ULONG*);
    const auto routine = reinterpret_cast<Read>(image->base() + kText + 0x10);
    EXPECT_DEATH((void)routine(window), "image fault at quadhdmi.sys\\+0x1010 .*does not emulate");
    // A plain bad pointer in the image is not taken for a register access either.
    EXPECT_DEATH((void)reinterpret_cast<Read>(image->base() + kText)(nullptr),
                 "image fault at quadhdmi.sys\\+0x1000 .*not a register window");
    EXPECT_TRUE(device.log().empty());
    MmUnmapIoSpace(const_cast<ULONG*>(window), 0x1000);
    host::unregister_mmio(physical);
}

TEST_F(ImageLoaderTest, SeedsTheStackCookieAsWindowsLoaderDoesAndRefusesOneAlreadySet) {
    PeImage pe;
    pe.text = {0xC3};
    pe.load_config = true;
    std::string error;
    auto first = load(pe, error);
    ASSERT_TRUE(first) << error;
    auto second = load(pe, error);
    ASSERT_TRUE(second) << error;
    ASSERT_EQ(first->security_cookie(), first->base() + PeImage::kCookieRva);
    const uint64_t a = *reinterpret_cast<const uint64_t*>(first->security_cookie());
    const uint64_t b = *reinterpret_cast<const uint64_t*>(second->security_cookie());
    // Random at every load, never the initial value, the top 16 bits clear as Windows' are.
    EXPECT_NE(a, pe.cookie);
    EXPECT_NE(a, b);
    EXPECT_EQ((a | b) >> 48, 0u);

    // A cookie the file already holds another value in: Windows' loader refuses the image.
    PeImage preset = pe;
    preset.cookie = 0x1234;
    EXPECT_FALSE(load(preset, error));
    EXPECT_NE(error.find("security cookie does not hold its initial value"), std::string::npos) << error;

    // Without a load configuration there is nothing to seed.
    PeImage plain;
    plain.text = {0xC3};
    auto image = load(plain, error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->security_cookie(), 0u);
}

TEST_F(ImageLoaderTest, AFastFailInTheImageStopsAsKernelSecurityCheckFailure) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PeImage pe;
    pe.text = {0xB9, 0x02, 0x00, 0x00, 0x00, 0xCD, 0x29};  // mov $2,%ecx; int $0x29
    std::string error;
    auto image = load(pe, error);
    ASSERT_TRUE(image) << error;
    using Routine = void(NTAPI*)();
    const auto routine = reinterpret_cast<Routine>(image->base() + kText);
    EXPECT_DEATH(routine(),
                 "STOP 0x00000139 \\(KERNEL_SECURITY_CHECK_FAILURE\\): fast-fail code 2 at "
                 "quadhdmi.sys\\+0x1005: stack cookie check failed");
}

}  // namespace
