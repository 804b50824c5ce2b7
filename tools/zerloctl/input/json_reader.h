// Reading a JSON file a person wrote. The library's own reader lets the last
// of two equal keys win silently, nests as deep as the stack allows and
// throws a different exception type per kind of mistake; this one refuses
// the first two and reports every mistake one way, with where it is.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zerloctl {

// A mistake in a file: `field` is where it is, a field's path
// ("fans[0].steps[1].down") or a place in the text ("line 3, column 7").
struct ConfigError : std::invalid_argument {
    ConfigError(const std::string& field, const std::string& problem)
        : std::invalid_argument(field + ": " + problem), field(field)
    {
    }
    std::string field;
};

// Every error's field starts with `path`. Anything but a regular file, and a
// file longer than `maxBytes`, is refused before it is read whole.
nlohmann::json ReadJsonFile(const std::string& path, size_t maxBytes, size_t maxDepth);

// One JSON text, held to the same rules; errors' fields start with `where`.
// Text after the value, a NUL byte or UTF-16 is a mistake too.
nlohmann::json ParseJsonText(std::string_view text, const std::string& where, size_t maxDepth);

} // namespace zerloctl
