// The service's log: repeated lines fold into counts, and the file is capped
// with one rotation, so that a failure lasting days leaves a log one can read.
#include "services/service_log.h"

#include "loop_fixture.h"

#include "clock/make_clock.h"
#include "loop/auto_config.h"
#include "loop/fan_loop.h"

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

// The loop's own output over 36 simulated hours of a firmware that stopped
// answering half an hour in: each poll fails safe again and logs both fans'
// failed sets, in turn. Logged as the service logs it, the failure stays a
// few lines a file, and every file begins with its reason.
TEST_F(ServiceLogTest, ALongFailureOfTwoFansStaysAFewLinesBehindItsReason)
{
    nlohmann::json profile = ztest::HeatingProfile(nlohmann::json::array({{{"at_s", 1800}, {"handler", "none"}}}));
    profile["thermal"]["schedule"][1]["load"] = 0.2;
    ztest::Driver driver(profile);
    driver.startAndOpen();
    ztest::DriverTransport transport(driver);
    auto clock = zerloctl::MakeLoopClock(transport, 0);
    zerloctl::DriverFanIo io(transport);
    uint64_t lines = 0;
    // A poll every 10 s, for fewer polls to the hour on the emulated image.
    nlohmann::json config = nlohmann::json::parse(zerloctl::ExampleAutoConfig());
    config["poll_seconds"] = 10;
    for (nlohmann::json& fan : config["fans"])
        fan["min_change_seconds"] = 20;
    {
        zerloctl::ServiceLog log(path_, 2048);
        zerloctl::FanLoop loop(zerloctl::ParseAutoConfig(config), io, *clock, [&](const zerloctl::LoopEvent& event) {
            ++lines;
            zerloctl::WriteLoopEvent(log, event);
        });
        const std::atomic<int> noStop{0};
        while (clock->now() < 36 * 3600) {
            loop.poll();
            clock->sleep(10, noStop);
        }
        EXPECT_FALSE(loop.finish("SIGTERM"));
    }
    EXPECT_GT(lines, 25'000u);
    // 1000 repeats in all: 500 of each fan's line, every 5000 s.
    auto again = [](unsigned seconds, unsigned times, std::initializer_list<int> fans) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "sim %02u:%02u:%02u", seconds / 3600, seconds / 60 % 60, seconds % 60);
        std::string text;
        for (int fan : fans)
            text += std::string(stamp) + " again " + std::to_string(times) + " times: fan " + std::to_string(fan) +
                    ": cannot set high: firmware call failed; retrying each poll\n";
        return text;
    };
    const std::string reason = "sim 00:30:00 fail-safe: sensor 0: read failed; every controlled fan to high\n";
    // Each file begins with the reason, even where a pair of counts is cut
    // across two files.
    std::string older = reason + again(51'800, 500, {1});
    for (unsigned at = 56'800; at <= 96'800; at += 5000)
        older += again(at, 500, {0, 1});
    EXPECT_EQ(Read(path_ + ".1"), older + again(101'800, 500, {0}));
    std::string current = reason + again(101'800, 500, {1});
    for (unsigned at = 106'800; at <= 126'800; at += 5000)
        current += again(at, 500, {0, 1});
    EXPECT_EQ(Read(path_),
              current + again(129'590, 279, {0, 1}) +
                  "sim 36:00:00 stopping: SIGTERM; every controlled fan to high\n"
                  "sim 36:00:00 fan 0: cannot set high: firmware call failed; the loop is stopping, so not "
                  "retried\n"
                  "sim 36:00:00 fan 1: cannot set high: firmware call failed; the loop is stopping, so not "
                  "retried\n");
}

TEST_F(ServiceLogTest, LinesThatRecurInAnyOrderFoldAsOneEpisode)
{
    const std::string failSafe = "fail-safe: sensor 0: read failed; every controlled fan to high";
    const std::string fan0 = "fan 0: cannot set high: firmware call failed; retrying each poll";
    const std::string fan1 = "fan 1: cannot set high: firmware call failed; retrying each poll";
    {
        zerloctl::ServiceLog log(path_, 1 << 20, 5);
        log.write("t0", "fan 0: off -> low (sensor 0: 55)");
        log.write("t1", failSafe, true);
        for (int poll = 1; poll <= 4; ++poll) {
            log.write("t" + std::to_string(poll), fan0);
            log.write("t" + std::to_string(poll), fan1);
        }
        // A line of new text after a repeat ends the episode; one that
        // recurs the same way later begins its own.
        log.write("t5", "readings trusted again; normal control resumes", true);
        log.write("t6", "fan 0: off -> low (sensor 0: 55)");
        log.write("t7", "fan 1: off -> low (sensor 0: 51)");
        log.write("t8", "fan 0: off -> low (sensor 0: 55)");
        log.write("t9", "stopping: SIGTERM; every controlled fan to high", true);
    }
    // Five repeats in all are written while they go on, each text's with its
    // last repeat's stamp.
    EXPECT_EQ(Read(path_), "t0 fan 0: off -> low (sensor 0: 55)\n"
                           "t1 fail-safe: sensor 0: read failed; every controlled fan to high\n"
                           "t1 fan 0: cannot set high: firmware call failed; retrying each poll\n"
                           "t1 fan 1: cannot set high: firmware call failed; retrying each poll\n"
                           "t4 again 3 times: fan 0: cannot set high: firmware call failed; retrying each poll\n"
                           "t3 again 2 times: fan 1: cannot set high: firmware call failed; retrying each poll\n"
                           "t4 again 1 time: fan 1: cannot set high: firmware call failed; retrying each poll\n"
                           "t5 readings trusted again; normal control resumes\n"
                           "t6 fan 0: off -> low (sensor 0: 55)\n"
                           "t7 fan 1: off -> low (sensor 0: 51)\n"
                           "t8 again 1 time: fan 0: off -> low (sensor 0: 55)\n"
                           "t9 stopping: SIGTERM; every controlled fan to high\n");
}

// A log that cannot be moved away (on Windows: open in another program
// without delete sharing) is neither emptied nor given up: it grows past
// the cap until the move succeeds, and the rotation before it stays.
TEST_F(ServiceLogTest, ALogThatCannotBeMovedKeepsEveryLine)
{
    std::filesystem::create_directories(path_ + ".1");
    std::ofstream(path_ + ".1/held") << "in the way\n";
    Write({{"t1", "aaaaaa"}, {"t2", "bbbbbb"}, {"t3", "cccccc"}}, 20);
    EXPECT_EQ(Read(path_), "t1 aaaaaa\nt2 bbbbbb\nt3 cccccc\n");
    EXPECT_EQ(Read(path_ + ".1/held"), "in the way\n");
    std::filesystem::remove_all(path_ + ".1");
    Write({{"t4", "dddddd"}}, 20);
    EXPECT_EQ(Read(path_ + ".1"), "t1 aaaaaa\nt2 bbbbbb\nt3 cccccc\n");
    EXPECT_EQ(Read(path_), "t4 dddddd\n");
}

} // namespace
