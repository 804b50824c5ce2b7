#include "recording.h"

#include "input/json_fields.h"
#include "input/json_reader.h"
#include "input/user_file.h"
#include "sample/fan_states.h"

#include <cmath>
#include <cstdint>
#include <sstream>

namespace zerlomon {

namespace {

using nlohmann::json;

// Days since 1970-01-01 of a civil date (the proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

} // namespace

double StampSeconds(const std::string& stamp)
{
    const auto bad = [&stamp] {
        return std::invalid_argument("time \"" + stamp + "\" is neither \"sim H:MM:SS\" nor \"YYYY-MM-DD HH:MM:SS\"");
    };
    // Digits only, so that no sign or space slips in the way sscanf lets a
    // "-1" wrap to a huge count.
    size_t at = 0;
    const auto number = [&](size_t fewest, size_t most, char then) {
        uint64_t value = 0;
        size_t digits = 0;
        while (at < stamp.size() && digits < most && stamp[at] >= '0' && stamp[at] <= '9') {
            value = value * 10 + static_cast<uint64_t>(stamp[at++] - '0');
            ++digits;
        }
        if (digits < fewest || (then != '\0' ? at >= stamp.size() || stamp[at++] != then : at != stamp.size()))
            throw bad();
        return value;
    };
    if (stamp.starts_with("sim ")) {
        at = 4;
        // Up to the hour whose seconds a double still holds exactly (2^53).
        constexpr uint64_t kMostHours = (uint64_t{1} << 53) / 3600 - 1;
        const uint64_t hours = number(1, 13, ':'), minutes = number(2, 2, ':'), seconds = number(2, 2, '\0');
        if (hours > kMostHours || minutes > 59 || seconds > 59) throw bad();
        return static_cast<double>(hours * 3600 + minutes * 60 + seconds);
    }
    const uint64_t year = number(4, 4, '-'), month = number(2, 2, '-'), day = number(2, 2, ' ');
    const uint64_t hour = number(2, 2, ':'), minutes = number(2, 2, ':'), seconds = number(2, 2, '\0');
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minutes > 59 || seconds > 60) throw bad();
    return static_cast<double>(
        DaysFromCivil(static_cast<int64_t>(year), static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        static_cast<int64_t>(hour * 3600 + minutes * 60 + seconds));
}

MonitorSample PlaceSample(zerloctl::Sample sample, const MonitorSample* before)
{
    MonitorSample placed;
    static_cast<zerloctl::Sample&>(placed) = std::move(sample);
    if (!before) {
        placed.seconds = placed.monotonic ? *placed.monotonic : StampSeconds(placed.time);
        return placed;
    }
    // A monotonic stamp that goes back starts another run of watch, its
    // lines appended to the same file (`>>`): from there the wall clock
    // places the samples, as it does those written before watch had a
    // monotonic clock.
    if (placed.monotonic && before->monotonic && *placed.monotonic >= *before->monotonic) {
        const double step = *placed.monotonic - *before->monotonic;
        placed.seconds = before->seconds + step;
        // The wall clock only marks here: a stamp it cannot read leaves
        // the sample where the monotonic clock put it.
        try {
            const double wallStep = StampSeconds(placed.time) - StampSeconds(before->time);
            if (std::abs(wallStep - step) > kClockJumpSeconds) placed.clockJump = wallStep - step;
        } catch (const std::invalid_argument&) {
        }
        return placed;
    }
    const double wallStep = StampSeconds(placed.time) - StampSeconds(before->time);
    if (wallStep < 0) {
        placed.seconds = before->seconds;
        placed.clockJump = wallStep;
    } else {
        placed.seconds = before->seconds + wallStep;
    }
    return placed;
}

LoopEventView EventFromJson(const json& object)
{
    LoopEventView event;
    event.time = zerloctl::JsonText(object, "time");
    event.seconds = StampSeconds(event.time);
    event.kind = zerloctl::JsonText(object, "event");
    if (object.contains("fan")) event.fan = static_cast<int>(zerloctl::JsonCount(object, "fan", UINT16_MAX));
    if (object.contains("from") && object["from"].is_string()) event.from = zerloctl::JsonText(object, "from");
    if (object.contains("to")) event.to = zerloctl::JsonText(object, "to");
    if (object.contains("reason")) event.reason = zerloctl::JsonText(object, "reason");
    return event;
}

Recording ReadRecording(std::istream& in, const std::string& name)
{
    // A line of watch nests three deep; the bound keeps a hostile line from
    // exhausting the stack of whatever walks it.
    constexpr size_t kMaxDepth = 8;
    Recording recording;
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        const std::string where = name + ":" + std::to_string(number);
        try {
            // Held to the configuration's rules: a key named twice, a NUL
            // byte or a number beyond a double is a mistake, not a choice.
            const json object = zerloctl::ParseJsonText(line, where, kMaxDepth);
            if (!object.is_object())
                throw ReplayError(where + ": not a JSON object (a line of `zerloctl --json watch` or `auto --json`)");
            if (object.contains("event")) {
                recording.events.push_back(EventFromJson(object));
                continue;
            }
            zerloctl::Sample sample = zerloctl::SampleFromJson(object);
            StampSeconds(sample.time); // a replay's every stamp must read, to label it
            recording.samples.push_back(
                PlaceSample(std::move(sample), recording.samples.empty() ? nullptr : &recording.samples.back()));
        } catch (const ReplayError&) {
            throw;
        } catch (const zerloctl::ConfigError& error) {
            throw ReplayError(error.what());
        } catch (const std::exception& error) {
            throw ReplayError(where + ": " + error.what());
        }
    }
    if (recording.samples.empty()) throw ReplayError(name + ": no sample of `zerloctl --json watch` in it");
    return recording;
}

Recording ReadRecordingFile(const std::string& path)
{
    std::string text;
    try {
        text = zerloctl::ReadRegularFile(path, kMaxRecordingBytes);
    } catch (const zerloctl::FileRefused& refused) {
        throw ReplayError(refused.what());
    }
    std::istringstream in(std::move(text));
    return ReadRecording(in, path);
}

std::string SensorText(const Reading& reading)
{
    return reading.value ? std::to_string(*reading.value) + " " + kCelsius : reading.error;
}

std::string FanText(const FanReading& fan)
{
    if (!fan.state || !fan.rpm) return fan.error;
    return zerloctl::FanStateName(*fan.state) + ", " + std::to_string(*fan.rpm) + " rpm";
}

} // namespace zerlomon
