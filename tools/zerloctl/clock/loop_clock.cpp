#include "clock/loop_clock.h"

#include <algorithm>
#include <cmath>

#if defined(_WIN32)
#include <windows.h>
#else
#include <chrono>
#include <thread>
#include <time.h>
#endif

namespace zerloctl {

namespace {

class SystemTicks : public TickSource {
  public:
    uint32_t ticks() override
    {
#if defined(_WIN32)
        return GetTickCount();
#else
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                     static_cast<uint64_t>(now.tv_nsec) / 1000000u);
#endif
    }
    void wait(uint32_t ms) override
    {
#if defined(_WIN32)
        // MinGW's thread library is not linked into the static client.
        Sleep(ms);
#else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
#endif
    }
};

} // namespace

TickClock::TickClock(std::unique_ptr<TickSource> source, std::function<std::string()> stamp, std::function<bool()> wake)
    : source_(std::move(source)), stamp_(std::move(stamp)), wake_(std::move(wake)), last_(source_->ticks())
{
}

// Unsigned subtraction is right across the wrap, as long as the counter is
// read at least once in 49.7 days: every wait reads it ten times a second.
uint64_t TickClock::elapsedMs()
{
    const uint32_t ticks = source_->ticks();
    elapsed_ += static_cast<uint32_t>(ticks - last_);
    last_ = ticks;
    return elapsed_;
}

double TickClock::now()
{
    return static_cast<double>(elapsedMs()) / 1000.0;
}

void TickClock::sleep(double seconds, const std::atomic<int>& stop)
{
    if (!(seconds > 0)) return;
    const uint64_t end = elapsedMs() + static_cast<uint64_t>(std::ceil(std::min(seconds, 86400.0) * 1000.0));
    while (stop.load() == 0 && !(wake_ && wake_())) {
        const uint64_t at = elapsedMs();
        if (at >= end) return;
        source_->wait(static_cast<uint32_t>(std::min<uint64_t>(end - at, 100)));
    }
}

std::unique_ptr<TickSource> MakeSystemTicks()
{
    return std::make_unique<SystemTicks>();
}

std::string WallStamp(std::time_t when)
{
    char text[32];
    const std::tm* local = std::localtime(&when);
    if (!local || !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local)) return "(no time)";
    return text;
}

} // namespace zerloctl
