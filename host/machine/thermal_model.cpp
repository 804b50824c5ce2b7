#include "thermal_model.h"

#include "machine.h"
#include "profile_values.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace zhost {

double ThermalModel::equilibrium(const ThermalSensor& sensor, int fanLevels) const
{
    // Fans move air; they cannot chill below the air they move.
    const double heated = ambientCelsius + sensor.heatPerLoad * load - sensor.coolingPerLevel * fanLevels;
    return std::max(ambientCelsius, heated);
}

void ThermalModel::advance(uint64_t fromMs, uint64_t toMs, int fanLevels, SmmBehaviour& behaviour)
{
    uint64_t now = fromMs;
    applyEventsAt(now, behaviour);
    while (now < toMs) {
        uint64_t until = toMs;
        if (nextEvent_ < schedule.size()) until = std::min(until, std::max(now, schedule[nextEvent_].atMs));
        // Within a stretch of constant load and fans the first-order
        // response is exact, so a long step costs no accuracy.
        const double seconds = static_cast<double>(until - now) / 1000.0;
        for (ThermalSensor& sensor : sensors) {
            const double target = equilibrium(sensor, fanLevels);
            sensor.celsius = target + (sensor.celsius - target) * std::exp(-seconds / sensor.timeConstantS);
        }
        now = until;
        applyEventsAt(now, behaviour);
    }
}

void ThermalModel::applyEventsAt(uint64_t ms, SmmBehaviour& behaviour)
{
    for (; nextEvent_ < schedule.size() && schedule[nextEvent_].atMs <= ms; ++nextEvent_) {
        const ThermalEvent& event = schedule[nextEvent_];
        if (event.load) load = *event.load;
        if (event.fault) fault = *event.fault;
        if (event.handler) behaviour = *event.handler;
    }
}

uint16_t ThermalModel::reading(size_t sensor) const
{
    switch (fault) {
    case SensorFault::kFail: return 0xFFFF;
    case SensorFault::kGarbage: return kGarbageReading;
    case SensorFault::kZero: return 0;
    case SensorFault::kNone: break;
    }
    return static_cast<uint16_t>(std::clamp(std::lround(sensors.at(sensor).celsius), 0L, 0xFFFEL));
}

namespace {

using nlohmann::json;

double ParseNumber(const json& object, const char* key, double fallback, const std::string& where, double minimum)
{
    if (!object.contains(key)) return fallback;
    const json& value = object.at(key);
    if (!value.is_number()) throw std::invalid_argument(where + "." + key + ": expected a number");
    const double number = value.get<double>();
    if (!(number >= minimum)) {
        throw std::invalid_argument(where + "." + key + ": at least " + std::to_string(minimum));
    }
    return number;
}

SensorFault ParseSensorFault(const json& value)
{
    const std::string name = value.is_string() ? value.get<std::string>() : "";
    if (name == "none") return SensorFault::kNone;
    if (name == "fail") return SensorFault::kFail;
    if (name == "garbage") return SensorFault::kGarbage;
    if (name == "zero") return SensorFault::kZero;
    throw std::invalid_argument("thermal.schedule[].sensor_fault: none, fail, garbage or zero");
}

} // namespace

void ApplyThermal(Machine& machine, const json& thermal)
{
    RequireKnownKeys(thermal, "thermal", {"ambient_celsius", "sensors", "schedule"});
    ThermalModel model;
    model.ambientCelsius = ParseNumber(thermal, "ambient_celsius", 25, "thermal", -40);
    const json sensors = thermal.value("sensors", json::array());
    if (sensors.size() > machine.smm()->sensors.size()) {
        throw std::invalid_argument("thermal.sensors: more entries than smm.sensors");
    }
    for (const json& entry : sensors) {
        RequireKnownKeys(entry, "thermal.sensors[]",
                         {"heat_per_load", "cooling_per_level", "time_constant_s", "start_celsius"});
        ThermalSensor sensor;
        sensor.heatPerLoad = ParseNumber(entry, "heat_per_load", sensor.heatPerLoad, "thermal.sensors[]", 0);
        sensor.coolingPerLevel =
            ParseNumber(entry, "cooling_per_level", sensor.coolingPerLevel, "thermal.sensors[]", 0);
        sensor.timeConstantS = ParseNumber(entry, "time_constant_s", sensor.timeConstantS, "thermal.sensors[]", 0.001);
        sensor.celsius = ParseNumber(entry, "start_celsius", -1000, "thermal.sensors[]", 0);
        model.sensors.push_back(sensor);
    }
    uint64_t previous = 0;
    for (const json& entry : thermal.value("schedule", json::array())) {
        RequireKnownKeys(entry, "thermal.schedule[]", {"at_s", "load", "sensor_fault", "handler"});
        ThermalEvent event;
        const double at = ParseNumber(entry, "at_s", 0, "thermal.schedule[]", 0);
        event.atMs = static_cast<uint64_t>(std::llround(at * 1000));
        if (event.atMs < previous) throw std::invalid_argument("thermal.schedule[].at_s: entries in time order");
        previous = event.atMs;
        if (entry.contains("load")) event.load = ParseNumber(entry, "load", 0, "thermal.schedule[]", 0);
        if (entry.contains("sensor_fault")) event.fault = ParseSensorFault(entry.at("sensor_fault"));
        if (entry.contains("handler")) {
            if (!entry.at("handler").is_string()) throw std::invalid_argument("thermal.schedule[].handler: a name");
            event.handler = ParseSmmBehaviour(entry.at("handler").get<std::string>());
        }
        model.schedule.push_back(event);
    }
    // The events of time 0 set the starting load, and a sensor without a
    // starting temperature starts settled at it.
    {
        const auto smm = machine.smm();
        model.advance(0, 0, smm->fanLevels(), smm->behaviour);
        for (ThermalSensor& sensor : model.sensors) {
            if (sensor.celsius < -999) sensor.celsius = model.equilibrium(sensor, smm->fanLevels());
        }
    }
    machine.setThermal(std::move(model));
}

} // namespace zhost
