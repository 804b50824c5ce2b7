#include "tray_face.h"

#include "graph.h"

#include <algorithm>
#include <cmath>

namespace zerlomon {

namespace {

// 3x5 glyphs, drawn twice their size; the "1" of a three-digit reading is
// one column wide so that 100 to 125 still fit.
const char* const kGlyphs[] = {"###"
                               "#.#"
                               "#.#"
                               "#.#"
                               "###",
                               ".#."
                               "##."
                               ".#."
                               ".#."
                               "###",
                               "###"
                               "..#"
                               "###"
                               "#.."
                               "###",
                               "###"
                               "..#"
                               "###"
                               "..#"
                               "###",
                               "#.#"
                               "#.#"
                               "###"
                               "..#"
                               "..#",
                               "###"
                               "#.."
                               "###"
                               "..#"
                               "###",
                               "###"
                               "#.."
                               "###"
                               "#.#"
                               "###",
                               "###"
                               "..#"
                               "..#"
                               "..#"
                               "..#",
                               "###"
                               "#.#"
                               "###"
                               "#.#"
                               "###",
                               "###"
                               "#.#"
                               "###"
                               "..#"
                               "###"};
const char kDash[] = "..."
                     "..."
                     "###"
                     "..."
                     "...";
const char kNarrowOne[] = "#####";

void Blit(std::vector<std::string>& rows, const char* glyph, int columns, int left)
{
    const int top = 3;
    for (int row = 0; row < 5; ++row) {
        for (int column = 0; column < columns; ++column) {
            if (glyph[row * columns + column] != '#') continue;
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx)
                    rows[top + row * 2 + dy][left + column * 2 + dx] = '#';
        }
    }
}

uint8_t Mix(uint8_t from, uint8_t to, double share)
{
    return static_cast<uint8_t>(std::lround(from + (to - from) * share));
}

} // namespace

Hottest HottestFollowed(const MonitorSample& sample, const zerloctl::AutoConfig* config)
{
    std::vector<uint16_t> followed = FollowedSensors(config);
    if (followed.empty()) {
        for (size_t sensor = 0; sensor < sample.sensors.size(); ++sensor)
            followed.push_back(static_cast<uint16_t>(sensor));
    }
    Hottest hottest;
    std::optional<uint16_t> which;
    // A 255 is no heat: it would turn the icon red where the loop sees a
    // failed reading.
    for (uint16_t sensor : followed) {
        if (sensor >= sample.sensors.size() || !Believable(sample.sensors[sensor])) continue;
        if (!hottest.celsius || *sample.sensors[sensor].value > *hottest.celsius) {
            hottest.celsius = sample.sensors[sensor].value;
            which = sensor;
        }
    }
    // The nearest danger: the lowest top step among the fans that follow
    // it, or the critical temperature, where the loop sends every fan high
    // whatever the steps say.
    std::optional<double> top;
    if (config && which) top = config->critical;
    for (const zerloctl::FanRule& rule : config ? config->fans : std::vector<zerloctl::FanRule>{}) {
        if (rule.steps.empty() || !which) continue;
        if (std::find(rule.sensors.begin(), rule.sensors.end(), *which) == rule.sensors.end()) continue;
        top = std::min(top.value_or(rule.steps.back().up), rule.steps.back().up);
    }
    hottest.top = top.value_or(kDefaultTopCelsius);
    return hottest;
}

Colour HeatColour(const Hottest& hottest)
{
    if (!hottest.celsius) return {128, 128, 128};
    const double share = std::clamp((*hottest.celsius - (hottest.top - kWarningBand)) / kWarningBand, 0.0, 1.0);
    const Colour green{0, 160, 0}, amber{230, 150, 0}, red{220, 0, 0};
    const Colour& from = share < 0.5 ? green : amber;
    const Colour& to = share < 0.5 ? amber : red;
    const double part = share < 0.5 ? share * 2 : share * 2 - 1;
    return {Mix(from.red, to.red, part), Mix(from.green, to.green, part), Mix(from.blue, to.blue, part)};
}

IconFace MakeIconFace(const Hottest& hottest)
{
    IconFace face;
    face.colour = HeatColour(hottest);
    face.rows.assign(kIconSize, std::string(kIconSize, '.'));
    if (!hottest.celsius) {
        face.digits = "--";
        Blit(face.rows, kDash, 3, 1);
        Blit(face.rows, kDash, 3, 9);
        return face;
    }
    const uint32_t value = std::min<uint32_t>(*hottest.celsius, 199);
    face.digits = std::to_string(value);
    if (value >= 100) {
        Blit(face.rows, kNarrowOne, 1, 0);
        Blit(face.rows, kGlyphs[value / 10 % 10], 3, 3);
        Blit(face.rows, kGlyphs[value % 10], 3, 10);
    } else {
        Blit(face.rows, kGlyphs[value / 10], 3, 1);
        Blit(face.rows, kGlyphs[value % 10], 3, 9);
    }
    return face;
}

std::string TooltipText(const MonitorSample& sample, const Hottest& hottest, const std::string& automatic)
{
    // ASCII only ("C", not the degree sign): the icon's tip goes through
    // the ANSI API.
    std::string text = "Zerlo: ";
    if (!sample.failure.empty()) {
        text += sample.failure;
    } else {
        text += hottest.celsius ? "hottest " + std::to_string(*hottest.celsius) + " C" : "no temperature";
        text += "\nsensors: ";
        for (size_t sensor = 0; sensor < sample.sensors.size(); ++sensor) {
            const Reading& reading = sample.sensors[sensor];
            text +=
                (sensor ? ", " : "") + (Believable(reading) ? std::to_string(*reading.value) : std::string("failed"));
        }
        text += " C";
        for (size_t fan = 0; fan < sample.fans.size(); ++fan)
            text += "\nfan " + std::to_string(fan) + ": " + FanText(sample.fans[fan]);
    }
    text += "\nautomatic: " + automatic;
    if (text.size() > kTooltipLimit) text = text.substr(0, kTooltipLimit - 3) + "...";
    return text;
}

} // namespace zerlomon
