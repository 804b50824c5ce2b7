// The automatic fan loop: reads the sensors a configuration names, moves
// each controlled fan along its steps with hysteresis and a minimum time
// between changes, and fails safe (every controlled fan high) when it can
// no longer trust what it reads or sets. It reaches the driver only through
// FanIo and time only through LoopClock, so tests drive it on a simulated
// notebook with simulated time.
#pragma once

#include "auto_config.h"

#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zerloctl {

class Transport;

class FanIo {
  public:
    virtual ~FanIo() = default;
    // Empty when the request was refused or the firmware call failed.
    virtual std::optional<uint32_t> temperature(uint16_t sensor) = 0;
    virtual std::optional<uint16_t> fanState(uint16_t fan) = 0;
    virtual bool setFanState(uint16_t fan, uint16_t state) = 0;
};

// FanIo over the driver's three SMM requests.
class DriverFanIo : public FanIo {
  public:
    explicit DriverFanIo(Transport& transport) : transport_(transport) {}
    std::optional<uint32_t> temperature(uint16_t sensor) override;
    std::optional<uint16_t> fanState(uint16_t fan) override;
    bool setFanState(uint16_t fan, uint16_t state) override;

  private:
    Transport& transport_;
};

class LoopClock {
  public:
    virtual ~LoopClock() = default;
    virtual double now() = 0; // seconds, from any origin
    // Waits, returning early once `stop` is nonzero.
    virtual void sleep(double seconds, const std::atomic<int>& stop) = 0;
    virtual std::string stamp() = 0; // the time for a log line
};

// One line of the loop's log.
struct LoopEvent {
    enum Kind { kChange, kFailSafe, kRecovered, kCannotSet, kStopping } kind = kChange;
    std::string time;
    int fan = -1;
    std::optional<uint16_t> from; // empty: not known
    uint16_t to = 0;
    std::map<uint16_t, uint32_t> temperatures; // the readings that decided
    std::string reason;
    bool dryRun = false;
    bool atStop = false; // no poll follows to retry a failed set
};

std::string FormatLoopEvent(const LoopEvent& event);
std::string FormatLoopEventJson(const LoopEvent& event);

class FanLoop {
  public:
    FanLoop(AutoConfig config, FanIo& io, LoopClock& clock, std::function<void(const LoopEvent&)> log,
            bool dryRun = false);

    // One poll. False when it had to fail safe. `last`: no poll follows,
    // so a fan that cannot be set is not promised a retry.
    bool poll(bool last = false);
    // Polls until `stop` turns nonzero (a signal number, or any nonzero
    // value), then leaves the fans as on_exit says. `why` names the stop.
    void run(const std::atomic<int>& stop, const std::function<std::string(int)>& why);
    // Sets every controlled fan high (or keeps them, per on_exit).
    void finish(const std::string& why);

    // The state the loop believes a fan is in (empty: not known).
    std::optional<uint16_t> believedState(uint16_t fan) const;

  private:
    struct Fan {
        FanRule rule;
        std::optional<uint16_t> state; // as last read or set
        size_t level = 0;              // 0: idle, k: steps[k-1]
        std::optional<double> lastChange;
        bool pending = false; // a set failed; retried each poll
        uint64_t failedPoll = 0;
    };

    bool start();
    bool readSensors(std::map<uint16_t, uint32_t>& readings, std::string& failure);
    void failSafe(const std::string& reason);
    bool setFan(Fan& fan, uint16_t state, const std::map<uint16_t, uint32_t>& readings, const std::string& reason);
    uint16_t levelState(const Fan& fan, size_t level) const;
    void emit(LoopEvent event);

    AutoConfig config_;
    FanIo& io_;
    LoopClock& clock_;
    std::function<void(const LoopEvent&)> log_;
    bool dryRun_;
    bool started_ = false;
    bool stopping_ = false;
    uint64_t polls_ = 0;
    bool failedSafe_ = false;
    std::vector<Fan> fans_;
    std::vector<uint16_t> sensors_; // every followed sensor, once
};

} // namespace zerloctl
