// Linked into every test program that also runs on zerlo.sys: its sys-labelled
// run points ZERLO_DRIVER at the target build's image, and without a target
// build there is nothing to run.
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

class NeedsTargetBuild : public ::testing::Environment {
    void SetUp() override
    {
        const char* driver = std::getenv("ZERLO_DRIVER");
        if (driver != nullptr && !std::filesystem::exists(driver)) GTEST_SKIP() << driver << " is not built";
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new NeedsTargetBuild);

} // namespace
