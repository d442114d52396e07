// The test program: each test starts from the library's process-wide state as loaded.
#include <gtest/gtest.h>

#include "brindlecap/runtime/process_state.hpp"

namespace {

class ResetProcessState : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo&) override { brindlecap::runtime::ProcessState::reset_for_tests(); }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new ResetProcessState);
    return RUN_ALL_TESTS();
}
