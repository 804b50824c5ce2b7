#include "input/json_fields.h"

#include <stdexcept>

namespace zerloctl {

const nlohmann::json& JsonField(const nlohmann::json& object, const char* name)
{
    const auto it = object.find(name);
    if (it == object.end()) throw std::invalid_argument(std::string("no \"") + name + "\"");
    return *it;
}

uint32_t JsonCount(const nlohmann::json& object, const char* name, uint32_t high)
{
    const nlohmann::json& value = JsonField(object, name);
    if (!value.is_number_unsigned()) throw std::invalid_argument(std::string("\"") + name + "\" is not a count");
    if (value.get<uint64_t>() > high) {
        throw std::invalid_argument(std::string("\"") + name + "\" is " + value.dump() + ", above " +
                                    std::to_string(high));
    }
    return static_cast<uint32_t>(value.get<uint64_t>());
}

std::string JsonText(const nlohmann::json& object, const char* name)
{
    const nlohmann::json& value = JsonField(object, name);
    if (!value.is_string()) throw std::invalid_argument(std::string("\"") + name + "\" is not a text");
    return value.get<std::string>();
}

} // namespace zerloctl
