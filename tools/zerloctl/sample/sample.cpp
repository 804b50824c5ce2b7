#include "sample/sample.h"

#include "input/json_fields.h"
#include "sample/fan_states.h"

#include <stdexcept>

namespace zerloctl {

namespace {

using nlohmann::json;

// Seconds on the monotonic clock: not negative, and no more than a double
// counts in whole milliseconds (2^53 ms, some 285,000 years).
double Seconds(const json& object, const char* name)
{
    constexpr double kMost = 9007199254740992.0 / 1000;
    const json& value = JsonField(object, name);
    if (!value.is_number() || !(value.get<double>() >= 0) || value.get<double>() > kMost)
        throw std::invalid_argument(std::string("\"") + name + "\" is " + value.dump() + ", not seconds from 0 to " +
                                    std::to_string(static_cast<uint64_t>(kMost)));
    return value.get<double>();
}

// Each entry names its index; a list with one out of place would put a
// reading under the wrong sensor.
const json& List(const json& object, const char* name, const char* index)
{
    const json& list = JsonField(object, name);
    if (!list.is_array()) throw std::invalid_argument(std::string("\"") + name + "\" is not a list");
    for (size_t i = 0; i < list.size(); ++i) {
        if (!list[i].is_object() || !list[i].contains(index) || list[i][index] != i)
            throw std::invalid_argument(std::string("\"") + name + "\" entry " + std::to_string(i) + " is not " +
                                        index + " " + std::to_string(i));
    }
    return list;
}

Reading ReadingOf(const json& entry, const char* name)
{
    if (entry.contains("error")) return {std::nullopt, JsonText(entry, "error")};
    return {JsonCount(entry, name), ""};
}

json ReadingsJson(const std::vector<Reading>& readings, const char* index, const char* name)
{
    json list = json::array();
    for (size_t i = 0; i < readings.size(); ++i) {
        json entry{{index, i}};
        if (readings[i].value)
            entry[name] = *readings[i].value;
        else
            entry["error"] = readings[i].error;
        list.push_back(entry);
    }
    return list;
}

} // namespace

json SampleJson(const Sample& sample)
{
    json object{{"time", sample.time}, {"fans", json::array()}};
    if (sample.monotonic) object["monotonic"] = *sample.monotonic;
    if (!sample.failure.empty()) object["failure"] = sample.failure;
    for (size_t fan = 0; fan < sample.fans.size(); ++fan) {
        const FanReading& reading = sample.fans[fan];
        json entry{{"fan", fan}};
        if (reading.state && reading.rpm) {
            entry["state"] = *reading.state;
            entry["state_name"] = FanStateName(*reading.state);
            entry["rpm"] = *reading.rpm;
        } else {
            entry["error"] = reading.error;
        }
        object["fans"].push_back(entry);
    }
    object["sensors"] = ReadingsJson(sample.sensors, "sensor", kCelsiusField);
    if (!sample.sioLevels.empty()) object["sio_levels"] = ReadingsJson(sample.sioLevels, "fan", "level");
    return object;
}

Sample SampleFromJson(const json& object)
{
    Sample sample;
    sample.time = JsonText(object, "time");
    if (object.contains("monotonic")) sample.monotonic = Seconds(object, "monotonic");
    if (object.contains("failure")) sample.failure = JsonText(object, "failure");
    for (const json& entry : List(object, "fans", "fan")) {
        if (entry.contains("error"))
            sample.fans.push_back({std::nullopt, std::nullopt, JsonText(entry, "error")});
        else
            sample.fans.push_back({JsonCount(entry, "state"), JsonCount(entry, "rpm"), ""});
    }
    for (const json& entry : List(object, "sensors", "sensor"))
        sample.sensors.push_back(ReadingOf(entry, kCelsiusField));
    if (object.contains("sio_levels")) {
        for (const json& entry : List(object, "sio_levels", "fan"))
            sample.sioLevels.push_back(ReadingOf(entry, "level"));
    }
    return sample;
}

} // namespace zerloctl
