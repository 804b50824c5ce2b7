// The loop's clocks. A wait is measured on a millisecond counter that wraps
// at 2^32 (GetTickCount on Windows: XP has no 64-bit one; CLOCK_MONOTONIC
// on Linux), summed as unsigned differences, so neither a wall clock set
// back or forward nor the counter's wrap after 49.7 days moves a poll. The
// wall clock only stamps log lines. (MinGW's steady_clock follows the
// system time, so it is not used.)
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

namespace zerloctl {

class LoopClock {
  public:
    virtual ~LoopClock() = default;
    virtual double now() = 0; // seconds, from any origin
    // Waits, returning early once `stop` is nonzero.
    virtual void sleep(double seconds, const std::atomic<int>& stop) = 0;
    virtual std::string stamp() = 0; // the time for a log line
};

class TickSource {
  public:
    virtual ~TickSource() = default;
    virtual uint32_t ticks() = 0;       // milliseconds, wrapping at 2^32
    virtual void wait(uint32_t ms) = 0; // about that long, or less
};

class TickClock : public LoopClock {
  public:
    // `wake`, when it answers true, ends a wait early, as a stop does.
    TickClock(std::unique_ptr<TickSource> source, std::function<std::string()> stamp, std::function<bool()> wake = {});
    double now() override;
    // Waits in slices of at most a tenth of a second, so that a stop or a
    // wake is seen that soon.
    void sleep(double seconds, const std::atomic<int>& stop) override;
    std::string stamp() override { return stamp_(); }

  private:
    uint64_t elapsedMs();

    std::unique_ptr<TickSource> source_;
    std::function<std::string()> stamp_;
    std::function<bool()> wake_;
    uint32_t last_;
    uint64_t elapsed_ = 0;
};

std::unique_ptr<TickSource> MakeSystemTicks();
// "2026-12-07 13:05:09", local time.
std::string WallStamp(std::time_t when);

} // namespace zerloctl
