#include "sources.h"

#include "critical_section.h"

#include "cli.h"
#include "clock/make_clock.h"
#include "requests/requests.h"
#include "sample/take_sample.h"

#include "frame/zerlo_ioctl.h"

#include <deque>
#include <optional>

namespace zerlomon {

namespace {

class ThreadSource : public LiveSource {
  public:
    ThreadSource(HWND window, PollPlan plan, unsigned sensors) : window_(window), plan_(plan), sensors_(sensors)
    {
        wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, &ThreadSource::Run, this, 0, nullptr);
    }
    ~ThreadSource() override
    {
        stop_ = true;
        SetEvent(wake_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(wake_);
    }
    ThreadSource(const ThreadSource&) = delete;
    ThreadSource& operator=(const ThreadSource&) = delete;

    void setPlan(const PollPlan& plan) override
    {
        Lock hold(lock_);
        plan_ = plan;
    }
    void setSensors(unsigned sensors) override
    {
        Lock hold(lock_);
        sensors_ = sensors;
    }
    void setFanState(unsigned fan, unsigned state) override
    {
        {
            Lock hold(lock_);
            sets_.push_back({fan, state});
        }
        SetEvent(wake_);
    }

  private:
    static DWORD WINAPI Run(void* self)
    {
        static_cast<ThreadSource*>(self)->run();
        return 0;
    }

    void post(zerloctl::Sample sample)
    {
        // Every live sample has its monotonic stamp, which never goes back.
        const MonitorSample placed = PlaceSample(std::move(sample), placed_ ? &*placed_ : nullptr);
        placed_ = placed;
        auto* copy = new MonitorSample(std::move(placed));
        if (!PostMessageA(window_, kSampleMessage, 0, reinterpret_cast<LPARAM>(copy))) delete copy;
    }

    void run()
    {
        const std::unique_ptr<zerloctl::LoopClock> clock = zerloctl::MakeRealClock();
        // The graphs run on the monotonic clock from here on; the wall
        // clock only labels the samples.
        const double origin = clock->now();
        std::unique_ptr<zerloctl::Platform> platform;
        zerloctl::Transport* transport = nullptr;
        while (!stop_) {
            PollPlan plan;
            unsigned sensors = 0;
            std::deque<std::pair<unsigned, unsigned>> sets;
            {
                Lock hold(lock_);
                plan = plan_;
                sensors = sensors_;
                sets.swap(sets_);
            }
            try {
                if (!transport) {
                    platform = zerloctl::MakePlatform();
                    transport = &platform->open(false);
                }
                for (const auto& [fan, state] : sets) {
                    const zerloctl::ValueResult r = zerloctl::RequestValue(
                        *transport, IOCTL_SMM_SET_FAN_STATE, static_cast<uint16_t>(fan), static_cast<uint16_t>(state));
                    PostMessageA(window_, kFanSetMessage, fan, r.refused || r.value != 0);
                }
                // A fan set wakes the thread early; the sample after it
                // still keeps watch's floor from the one before.
                const DWORD since = GetTickCount() - lastPoll_;
                const auto floor = static_cast<DWORD>(kWatchFloorSeconds * 1000);
                if (since < floor) Sleep(floor - since);
                lastPoll_ = GetTickCount();
                post(zerloctl::TakeSample(*transport, {.sensors = sensors, .sio = plan.sio}, *clock, origin));
            } catch (const std::exception& error) {
                // No device (yet): every item shows why, and the next poll
                // tries to open it again.
                for (const auto& set : sets)
                    PostMessageA(window_, kFanSetMessage, set.first, 1);
                transport = nullptr;
                platform.reset();
                zerloctl::Sample failed;
                failed.time = clock->stamp();
                failed.monotonic = clock->now() - origin;
                failed.failure = error.what();
                post(failed);
            }
            WaitForSingleObject(wake_, static_cast<DWORD>(plan.interval * 1000));
        }
    }

    HWND window_;
    PollPlan plan_;
    unsigned sensors_;
    CriticalSection lock_;
    std::deque<std::pair<unsigned, unsigned>> sets_;
    HANDLE wake_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD lastPoll_ = GetTickCount() - 1000000;
    std::optional<MonitorSample> placed_; // the last sample posted, on the graphs' axis
    volatile bool stop_ = false;
};

} // namespace

std::unique_ptr<LiveSource> StartLiveSource(HWND window, PollPlan plan, unsigned sensors)
{
    return std::make_unique<ThreadSource>(window, plan, sensors);
}

} // namespace zerlomon
