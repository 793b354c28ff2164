// Stack protection: DriverEntry seeds the guard anew at every load, a frame that was overrun stops
// the machine with the fast-fail Windows' own cookie check raises, and a frame that was not
// returns as usual.
#include "driver/device/stack_guard.h"
#include "platform/host/image/image_loader.h"
#include "tests/device/stack_probe.h"
#include "tests/support/testbed_fixture.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr uint64_t kHighBits = 0xFFFF000000000000ull;

// The guard the loaded driver compares: the image's load-configuration cookie when the suite
// runs the shipped image, the compiled-in driver's otherwise.
uint64_t guard_of(const qh::Testbed& bed) {
    const host::image::Image* image = bed.image();
    if (image) return *reinterpret_cast<const volatile uint64_t*>(image->security_cookie());
    return *static_cast<volatile ULONG_PTR*>(&__stack_chk_guard);
}

TEST(StackGuard, DriverEntrySeedsTheGuardAtEveryLoad) {
    qh::TestbedOptions options = qh::testing::manual_options();
    options.add = false;
    uint64_t first = 0, second = 0;
    {
        qh::Testbed bed(options);
        if (bed.image()) {
            ASSERT_NE(bed.image()->security_cookie(), 0u) << "the image names no cookie";
        }
        first = guard_of(bed);
    }
    {
        qh::Testbed bed(options);
        second = guard_of(bed);
    }
    for (uint64_t guard : {first, second}) {
        EXPECT_NE(guard, kStackGuardInitial);
        EXPECT_NE(guard, 0u);
        EXPECT_EQ(guard & kHighBits, 0u) << std::hex << guard;
    }
    EXPECT_NE(first, second);
}

TEST(StackGuard, TheImagesLoaderSeedsTheCookieAndDriverEntryMixesItsOwnIn) {
    const std::string path = qh::TestbedOptions::default_driver_image();
    if (path.empty()) GTEST_SKIP() << "runs against the shipped image (QH_DRIVER_IMAGE)";
    std::string error;
    auto image = host::image::load(path, error);
    ASSERT_TRUE(image) << error;
    ASSERT_NE(image->security_cookie(), 0u);
    const auto* cookie = reinterpret_cast<const volatile uint64_t*>(image->security_cookie());
    // What Windows' loader does before DriverEntry, and then what DriverEntry itself does.
    const uint64_t loaded = *cookie;
    EXPECT_NE(loaded, kStackGuardInitial);
    std::shared_ptr<host::pnp::Driver> driver;
    ASSERT_EQ(host::pnp::Driver::load(image->entry(), driver), STATUS_SUCCESS);
    EXPECT_NE(*cookie, loaded);
    EXPECT_NE(*cookie, kStackGuardInitial);
    EXPECT_EQ(*cookie & kHighBits, 0u);
    driver.reset();
}

TEST(StackGuard, AnOverrunFrameStopsWithTheFastFailAndAnIntactOneReturns) {
    // The compiled-in driver's guard, seeded as a load seeds it.
    qh::TestbedOptions options = qh::testing::manual_options();
    options.add = false;
    options.driver_image.clear();
    qh::Testbed bed(options);

    EXPECT_EQ(FillStackBuffer(16), 'A' + 'P');
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(FillStackBuffer(40),
                 "STOP 0x00000139 \\(KERNEL_SECURITY_CHECK_FAILURE\\): fast-fail code 2: stack cookie check failed");
}

}  // namespace
