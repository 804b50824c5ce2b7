// Where the known SMBIOS structure types keep their named fields, so that a
// profile can describe a structure by field names rather than bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace zhost::smbios {

enum class Kind { kString, kByte, kWord, kDword, kQword, kUuid, kSbdsDate };

struct FieldLayout {
    const char* name;
    uint8_t offset;
    Kind kind;
};

struct TypeLayout {
    uint8_t type;
    uint8_t length; // formatted length unless the structure gives its own
    std::vector<FieldLayout> fields;
};

// The layout of a structure type; nullptr for a type without named fields.
const TypeLayout* FindType(uint8_t type);

} // namespace zhost::smbios
