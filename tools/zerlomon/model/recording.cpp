#include "recording.h"

#include <cstdio>
#include <fstream>
#include <istream>

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

const json& Field(const json& object, const char* name)
{
    const auto it = object.find(name);
    if (it == object.end()) throw std::invalid_argument(std::string("no \"") + name + "\"");
    return *it;
}

uint32_t Unsigned(const json& object, const char* name)
{
    const json& value = Field(object, name);
    if (!value.is_number_unsigned()) throw std::invalid_argument(std::string("\"") + name + "\" is not a count");
    return value.get<uint32_t>();
}

std::string Text(const json& object, const char* name)
{
    const json& value = Field(object, name);
    if (!value.is_string()) throw std::invalid_argument(std::string("\"") + name + "\" is not a text");
    return value.get<std::string>();
}

// Each entry names its index; a list with one out of place would put a
// reading under the wrong sensor.
const json& List(const json& object, const char* name, const char* index)
{
    const json& list = Field(object, name);
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
    if (entry.contains("error")) return {std::nullopt, Text(entry, "error")};
    return {Unsigned(entry, name), ""};
}

} // namespace

double StampSeconds(const std::string& stamp)
{
    unsigned long long hours = 0;
    unsigned minutes = 0, seconds = 0, year = 0, month = 0, day = 0;
    int end = 0;
    const int n = std::sscanf(stamp.c_str(), "sim %llu:%2u:%2u%n", &hours, &minutes, &seconds, &end);
    if (n == 3 && static_cast<size_t>(end) == stamp.size() && minutes < 60 && seconds < 60)
        return static_cast<double>(hours * 3600 + minutes * 60 + seconds);
    unsigned hour = 0;
    end = 0;
    const int m =
        std::sscanf(stamp.c_str(), "%4u-%2u-%2u %2u:%2u:%2u%n", &year, &month, &day, &hour, &minutes, &seconds, &end);
    if (m == 6 && static_cast<size_t>(end) == stamp.size() && month >= 1 && month <= 12 && day >= 1 && day <= 31 &&
        hour < 24 && minutes < 60 && seconds < 61)
        return static_cast<double>(DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minutes * 60 + seconds);
    throw std::invalid_argument("time \"" + stamp + "\" is neither \"sim H:MM:SS\" nor \"YYYY-MM-DD HH:MM:SS\"");
}

MonitorSample SampleFromJson(const json& object)
{
    MonitorSample sample;
    sample.time = Text(object, "time");
    sample.seconds = StampSeconds(sample.time);
    for (const json& entry : List(object, "fans", "fan")) {
        if (entry.contains("error"))
            sample.fans.push_back({std::nullopt, std::nullopt, Text(entry, "error")});
        else
            sample.fans.push_back({Unsigned(entry, "state"), Unsigned(entry, "rpm"), ""});
    }
    for (const json& entry : List(object, "sensors", "sensor"))
        sample.sensors.push_back(ReadingOf(entry, "celsius"));
    if (object.contains("sio_levels")) {
        for (const json& entry : List(object, "sio_levels", "fan"))
            sample.sioLevels.push_back(ReadingOf(entry, "level"));
    }
    return sample;
}

LoopEventView EventFromJson(const json& object)
{
    LoopEventView event;
    event.time = Text(object, "time");
    event.seconds = StampSeconds(event.time);
    event.kind = Text(object, "event");
    if (object.contains("fan")) event.fan = static_cast<int>(Unsigned(object, "fan"));
    if (object.contains("from") && object["from"].is_string()) event.from = Text(object, "from");
    if (object.contains("to")) event.to = Text(object, "to");
    if (object.contains("reason")) event.reason = Text(object, "reason");
    return event;
}

Recording ReadRecording(std::istream& in, const std::string& name)
{
    Recording recording;
    std::string line;
    double last = 0;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        const std::string where = name + ":" + std::to_string(number) + ": ";
        const json object = json::parse(line, nullptr, false);
        if (!object.is_object())
            throw ReplayError(where + "not a JSON object (a line of `zerloctl --json watch` or `auto --json`)");
        try {
            if (object.contains("event")) {
                recording.events.push_back(EventFromJson(object));
                continue;
            }
            MonitorSample sample = SampleFromJson(object);
            if (!recording.samples.empty() && sample.seconds < last)
                throw std::invalid_argument("time " + sample.time + " is before the sample above it");
            last = sample.seconds;
            recording.samples.push_back(std::move(sample));
        } catch (const std::exception& error) {
            throw ReplayError(where + error.what());
        }
    }
    if (recording.samples.empty()) throw ReplayError(name + ": no sample of `zerloctl --json watch` in it");
    return recording;
}

Recording ReadRecordingFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ReplayError(path + ": cannot be read");
    return ReadRecording(in, path);
}

std::string StateName(uint32_t state)
{
    static const char* const names[] = {"off", "low", "high"};
    return state < 3 ? names[state] : "state " + std::to_string(state);
}

std::string SensorText(const Reading& reading)
{
    return reading.value ? std::to_string(*reading.value) + " C" : reading.error;
}

std::string FanText(const FanReading& fan)
{
    if (!fan.state || !fan.rpm) return fan.error;
    return StateName(*fan.state) + ", " + std::to_string(*fan.rpm) + " rpm";
}

} // namespace zerlomon
