// The service's log: repeated lines fold into counts, and the file is capped
// with one rotation, so that a failure lasting days leaves a log one can read.
#include "loop/service_log.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>; // stamp, text

class ServiceLogTest : public testing::Test {
  protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() / ("zerlo-log-" + std::to_string(getpid()) + "-" +
                                                         testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "auto.log").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void Write(const Entries& entries, uint64_t maxBytes = 1 << 20, unsigned maxFold = 1000)
    {
        zerloctl::ServiceLog log(path_, maxBytes, maxFold);
        for (const auto& [stamp, text] : entries)
            log.write(stamp, text);
    }
    static std::string Read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::filesystem::path dir_;
    std::string path_;
};

TEST_F(ServiceLogTest, RepeatsFoldUntilADifferentLineTheLimitOrTheEnd)
{
    Entries entries{{"t1", "no device"}, {"t2", "no device"}, {"t3", "no device"}, {"t4", "fan 0: off -> high"}};
    for (int i = 5; i <= 12; ++i)
        entries.push_back({"t" + std::to_string(i), "no device"});
    Write(entries, 1 << 20, 3);
    // The fold's text is whole: it may land in the next file after a rotation.
    const std::string first = "t1 no device\n"
                              "t3 again 2 times: no device\n"
                              "t4 fan 0: off -> high\n"
                              "t5 no device\n"
                              "t8 again 3 times: no device\n"
                              "t11 again 3 times: no device\n"
                              "t12 again 1 time: no device\n";
    EXPECT_EQ(Read(path_), first);
    EXPECT_EQ(zerloctl::LastLogLine(path_), "t12 again 1 time: no device");
    // A new log on the same file folds nothing into what an earlier run wrote.
    Write({{"t13", "no device"}, {"t14", "stopping"}});
    EXPECT_EQ(Read(path_), first + "t13 no device\nt14 stopping\n");
}

TEST_F(ServiceLogTest, ALineThatWouldPassTheCapStartsAFileAndTheOldOneReplacesTheRotation)
{
    std::ofstream(path_ + ".1") << "an older rotation\n";
    // Alone in a new file, a line longer than the cap has nothing to rotate.
    Write({{"t1", "a line longer than the cap"}}, 20);
    EXPECT_EQ(Read(path_ + ".1"), "an older rotation\n");
    // What the file holds counts: a new run rotates at its first line. Ten
    // bytes a line: t3 reaches the cap, t4 would pass it.
    Write({{"t2", "aaaaaa"}, {"t3", "bbbbbb"}, {"t4", "c"}}, 20);
    EXPECT_EQ(Read(path_ + ".1"), "t2 aaaaaa\nt3 bbbbbb\n");
    EXPECT_EQ(Read(path_), "t4 c\n");
}

} // namespace
