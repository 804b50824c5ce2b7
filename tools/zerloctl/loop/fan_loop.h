// The automatic fan loop: reads the sensors a configuration names, moves
// each controlled fan along its steps with hysteresis and a minimum time
// between changes downward, and fails safe (every controlled fan high) when
// it can no longer trust what it reads or sets. At the critical
// temperature every controlled fan goes high, whatever the steps say. It
// trusts nothing it set:
// every poll reads each controlled fan back, so a fan that another program,
// a command or the BIOS changed is found within one poll. It reaches the
// driver only through FanIo and time only through LoopClock, so tests drive
// it on a simulated notebook with simulated time.
#pragma once

#include "clock/loop_clock.h"
#include "loop/auto_config.h"

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

// One line of the loop's log.
struct LoopEvent {
    enum Kind { kChange, kFailSafe, kRecovered, kCannotSet, kStopping, kFound, kCritical } kind = kChange;
    std::string time;
    int fan = -1;
    std::optional<uint16_t> from;              // empty: not known
    uint16_t to = 0;                           // kFound: the state the fan was found in
    std::map<uint16_t, uint32_t> temperatures; // the readings that decided
    std::string reason;
    bool dryRun = false;
    bool atStop = false; // no poll follows to retry a failed set
    // kCannotSet: why, when the firmware call itself reported success.
    std::string failure;
    // Lines lost just before this one: the output did not keep up.
    uint64_t droppedBefore = 0;
};

std::string FormatLoopEvent(const LoopEvent& event);
std::string FormatLoopEventJson(const LoopEvent& event);

class FanLoop {
  public:
    FanLoop(AutoConfig config, FanIo& io, LoopClock& clock, std::function<void(const LoopEvent&)> log,
            bool dryRun = false);

    // One poll. False when it had to fail safe. `last`: no poll follows,
    // so a fan that cannot be set is not promised a retry. Never throws:
    // whatever goes wrong inside a poll makes it fail safe.
    bool poll(bool last = false) noexcept;
    // Polls every poll_seconds, start to start, until `stop` turns nonzero
    // (a signal number, or any nonzero value), then leaves the fans as
    // on_exit says; `why` names the stop. `recheck`, when it answers true
    // after a wait, makes the next poll come at once (a resume). Never
    // throws: every way out goes through the fail-safe and on_exit.
    // Returns what finish() returns.
    bool run(const std::atomic<int>& stop, const std::function<std::string(int)>& why,
             const std::function<bool()>& recheck = {}) noexcept;
    // Sets every controlled fan high (or keeps them, per on_exit), whatever
    // the loop believes they are, and reads each back. False when a fan
    // could not be set high or does not read back high: the stop leaves a
    // fan that may not be cooling.
    bool finish(const std::string& why) noexcept;

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
        uint64_t setPoll = 0; // the last poll whose set reported success
        int contradicted = 0; // polls in a row that read back other than such a set
    };

    bool pollOrThrow();
    bool readSensors(std::map<uint16_t, uint32_t>& readings, std::string& failure);
    bool readFans(std::string& failure);
    void watchCritical(const std::map<uint16_t, uint32_t>& readings);
    void failSafe(const std::string& reason) noexcept;
    bool send(Fan& fan, uint16_t state) noexcept;
    bool setFan(Fan& fan, uint16_t state, const std::map<uint16_t, uint32_t>& readings, const std::string& reason,
                bool logUnchanged = true) noexcept;
    uint16_t levelState(const Fan& fan, size_t level) const;
    void emit(LoopEvent event) noexcept;
    void release() noexcept;
    bool readBackHigh(Fan& fan) noexcept;
    double now() noexcept;

    AutoConfig config_;
    FanIo& io_;
    LoopClock& clock_;
    std::function<void(const LoopEvent&)> log_;
    bool dryRun_;
    bool started_ = false;
    bool stopping_ = false;
    uint64_t polls_ = 0;
    bool failedSafe_ = false;
    bool critical_ = false; // an episode at the critical temperature
    double lastNow_ = 0;
    std::vector<Fan> fans_;
    std::vector<uint16_t> sensors_;    // every followed sensor, once
    std::vector<LoopEvent> unwritten_; // this poll's, until its sets are done
};

} // namespace zerloctl
