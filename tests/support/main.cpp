// Entry point of every test program: GoogleTest plus the host's teardown check. A diagnostic
// the verifier recorded and no test claimed fails the test it was left in (and the program),
// so a new check can never be silently ignored.
#include "platform/host/verifier.h"
#include "sim/card.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

class DiagnosticsLeftCheck : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override {
        size_t left = host::verifier::diagnostic_count();
        if (left == 0) return;
        std::string list;
        for (const auto& d : host::verifier::diagnostics()) list += "\n  " + d;
        ADD_FAILURE() << left << " verifier diagnostic(s) left recorded at the end of the test:" << list;
        host::verifier::clear_diagnostics();
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
    int result = RUN_ALL_TESTS();
    if (host::verifier::diagnostic_count() != 0) {
        host::verifier::print_summary(stderr);
        return 1;
    }
    return result;
}
