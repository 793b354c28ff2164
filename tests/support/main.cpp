// Entry point of every test program: GoogleTest plus the host's teardown check. A diagnostic
// the verifier recorded and no test claimed fails the test it was left in (and the program),
// so a new check can never be silently ignored.
#include "platform/host/image/image_loader.h"
#include "platform/host/diag/verifier.h"
#include "sim/card.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

class DiagnosticsLeftCheck : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override {
        size_t left = host::verifier::diagnostic_count();
        if (left == 0) return;
        std::string list;
        for (const auto& d : host::verifier::diagnostics())
            list += "\n  " + d;
        ADD_FAILURE() << left << " verifier diagnostic(s) left recorded at the end of the test:" << list;
        host::verifier::clear_diagnostics();
    }
};

// In the image run (QH_DRIVER_IMAGE set) every test must have loaded the image: one that did not
// tested the compiled-in code only and would count as passing against the image without ever
// touching it. Such tests belong in the image label's exclusions (tests/CMakeLists.txt).
class ImageLoadedCheck : public ::testing::EmptyTestEventListener {
    uint64_t before_ = 0;
    int loaded_ = 0;
    void OnTestStart(const ::testing::TestInfo&) override { before_ = host::image::load_count(); }
    void OnTestEnd(const ::testing::TestInfo& info) override {
        if (host::image::load_count() != before_) {
            if (info.result()->Passed()) ++loaded_;
        } else if (!info.result()->Skipped()) {
            ADD_FAILURE() << "ran in the image run without loading the driver image";
        }
    }
    void OnTestProgramEnd(const ::testing::UnitTest&) override {
        std::printf("[  IMAGE   ] %d tests passed against the loaded driver image\n", loaded_);
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Cards not told where their engines start draw it from this seed: a failure that depends
    // on it is repeated with QH_CARD_SEED set to the value printed.
    std::printf("card start seed: %llu\n", static_cast<unsigned long long>(sim::start_seed_of_process()));
    // Appended after the result printer: end-of-test events reach it first, so the failure is
    // part of the test's printed result.
    ::testing::UnitTest::GetInstance()->listeners().Append(new DiagnosticsLeftCheck);
    if (std::getenv("QH_DRIVER_IMAGE")) ::testing::UnitTest::GetInstance()->listeners().Append(new ImageLoadedCheck);
    int result = RUN_ALL_TESTS();
    if (host::verifier::diagnostic_count() != 0) {
        host::verifier::print_summary(stderr);
        return 1;
    }
    return result;
}
