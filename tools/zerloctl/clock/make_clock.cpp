#include "clock/make_clock.h"

#include "console/stop_signals.h"

#include <cstdio>
#include <ctime>

namespace zerloctl {

namespace {

class SimulatedClock : public LoopClock {
  public:
    SimulatedClock(Transport& transport, double timeScale)
        : transport_(transport), timeScale_(timeScale), real_(MakeSystemTicks(), [] { return std::string(); })
    {
    }
    double now() override { return static_cast<double>(transport_.simulatedClockMs()) / 1000.0; }
    void sleep(double seconds, const std::atomic<int>& stop) override
    {
        transport_.advanceSimulatedClock(static_cast<uint64_t>(seconds * 1000.0 + 0.5));
        if (timeScale_ > 0) real_.sleep(seconds / timeScale_, stop);
    }
    std::string stamp() override
    {
        const uint64_t seconds = transport_.simulatedClockMs() / 1000;
        char text[40];
        std::snprintf(text, sizeof text, "sim %02llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned long long>(seconds / 60 % 60),
                      static_cast<unsigned long long>(seconds % 60));
        return text;
    }

  private:
    Transport& transport_;
    double timeScale_;
    TickClock real_; // paces the simulated time
};

} // namespace

std::unique_ptr<LoopClock> MakeRealClock()
{
    return std::make_unique<TickClock>(
        MakeSystemTicks(), [] { return WallStamp(std::time(nullptr)); }, [] { return RecheckRequested(); });
}

std::unique_ptr<LoopClock> MakeLoopClock(Transport& transport, double timeScale)
{
    if (transport.hasSimulatedClock()) return std::make_unique<SimulatedClock>(transport, timeScale);
    return MakeRealClock();
}

} // namespace zerloctl
