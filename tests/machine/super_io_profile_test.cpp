// The "superio" section of a machine profile, as `zerloctl --machine FILE`
// reads it: strict keys and values, so a mistyped variant fails loudly
// instead of giving a default chip.
#include "machine/super_io_chip.h"
#include "profile/profile.h"

#include <gtest/gtest.h>

namespace {

using nlohmann::json;

json WithChip(json chip)
{
    json profile = zhost::BareProfile();
    profile["superio"] = chip;
    return profile;
}

std::string Refusal(const json& profile)
{
    try {
        zhost::BuildMachine(profile);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "accepted";
}

TEST(SuperIoProfile, ZerloctlMachineFileWithAMalformedSectionIsRefusedByName)
{
    const json base = {{"config_port", "0x2E"}, {"fan_base", "0x0A00"}};
    auto with = [&](const char* key, json value) {
        json chip = base;
        chip[key] = value;
        return WithChip(chip);
    };
    EXPECT_EQ(Refusal(with("colour", "red")), "superio: unknown key 'colour'");
    EXPECT_EQ(Refusal(with("config_port", "0x3F")), "superio.config_port: 0x2E or 0x4E");
    EXPECT_EQ(Refusal(with("revision", "0x100")), "superio.revision: expected a byte");
    EXPECT_EQ(Refusal(with("quirk", "sticky")), "superio.quirk: unknown quirk 'sticky'");
    EXPECT_EQ(Refusal(with("fan_base", "0x10000")), "superio.fan_base: expected a 16-bit port");
    EXPECT_EQ(Refusal(with("level_registers", json::array({"0x80"}))),
              "superio.level_registers: expected two bytes, fan 0 then fan 1");
    EXPECT_EQ(Refusal(WithChip({{"fan_base", "0x0A00"}})).rfind("profile: ", 0), 0u); // no config port
    for (const char* base : {"0x0000", "0x002F", "0x00B1", "0x0A00", "0xFFFF"})
        EXPECT_EQ(Refusal(with("fan_base", base)), "accepted") << base;
}

} // namespace
