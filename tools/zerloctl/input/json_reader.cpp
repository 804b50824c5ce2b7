#include "input/json_reader.h"

#include "input/user_file.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace zerloctl {

namespace {

using nlohmann::json;

// "WHERE: line L, column C" of the byte before `offset` (columns from 1), as
// the library places its errors.
std::string Place(std::string_view text, size_t offset, const std::string& where)
{
    const std::string_view before = text.substr(0, std::min(offset, text.size()));
    const size_t lineStart = before.rfind('\n');
    const size_t line = static_cast<size_t>(std::count(before.begin(), before.end(), '\n')) + 1;
    const size_t column = lineStart == std::string_view::npos ? before.size() : before.size() - lineStart - 1;
    return where + ": line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Builds the document from the parser's events, so that a repeated key or
// one level too many stops the parse at once, before anything is kept.
class StrictBuilder {
  public:
    StrictBuilder(std::string_view text, const std::string& path, size_t maxDepth)
        : text_(text), path_(path), maxDepth_(maxDepth)
    {
    }

    json take() { return std::move(root_); }

    bool null() { return add(nullptr); }
    bool boolean(bool value) { return add(value); }
    bool number_integer(json::number_integer_t value) { return add(value); }
    bool number_unsigned(json::number_unsigned_t value) { return add(value); }
    bool number_float(json::number_float_t value, const json::string_t&) { return add(value); }
    bool string(json::string_t& value) { return add(std::move(value)); }
    bool binary(json::binary_t&) { return false; } // JSON text has none
    bool start_object(size_t) { return open(json::object()); }
    bool start_array(size_t) { return open(json::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(json::string_t& name)
    {
        Level& level = open_.back();
        level.key = std::move(name);
        if (level.container->contains(level.key)) throw ConfigError(fieldPath(), "named twice");
        return true;
    }

    // Every mistake of the text itself comes here, whatever the library's
    // exception type for it (a syntax error, a number too large for a double).
    bool parse_error(size_t offset, const std::string&, const json::exception& error)
    {
        std::string problem = error.what();
        problem.erase(0, problem.find("] ") + 2); // the library's "[json.exception.parse_error.101] "
        if (problem.starts_with("parse error at ")) problem.erase(0, problem.find(": ") + 2);
        throw ConfigError(Place(text_, offset, path_), problem);
    }

  private:
    struct Level {
        json* container;
        std::string key; // in an object: the key of the value being read
    };

    // The path of the value being read; trailing list indexes are left out
    // when `toKey`, so that a tower of brackets names the field it is in.
    std::string fieldPath(bool toKey = false) const
    {
        std::string field;
        size_t keep = 0;
        for (size_t i = 0; i < open_.size(); ++i) {
            const Level& level = open_[i];
            // An enclosing list holds its open element already; the innermost
            // one is about to get it.
            if (level.container->is_object())
                field += (field.empty() ? "" : ".") + level.key;
            else
                field += "[" + std::to_string(level.container->size() - (i + 1 < open_.size() ? 1 : 0)) + "]";
            if (level.container->is_object() || !toKey) keep = field.size();
        }
        field.resize(keep);
        return path_ + ": " + (field.empty() ? "(top level)" : field);
    }

    json* place(json&& value)
    {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Level& parent = open_.back();
        if (parent.container->is_array()) {
            parent.container->push_back(std::move(value));
            return &parent.container->back();
        }
        return &((*parent.container)[parent.key] = std::move(value));
    }

    bool add(json&& value)
    {
        place(std::move(value));
        return true;
    }

    bool open(json&& container)
    {
        if (open_.size() >= maxDepth_) {
            throw ConfigError(fieldPath(true),
                              "lists and objects nested more than " + std::to_string(maxDepth_) + " deep");
        }
        open_.push_back({place(std::move(container)), {}});
        return true;
    }

    bool close()
    {
        open_.pop_back();
        return true;
    }

    std::string_view text_;
    const std::string& path_;
    size_t maxDepth_;
    json root_;
    std::vector<Level> open_;
};

} // namespace

json ParseJsonText(std::string_view text, const std::string& where, size_t maxDepth)
{
    // Notepad on XP saves "Unicode" as UTF-16 with this mark first; the
    // parser would only see a stray byte.
    if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF"))
        throw ConfigError(where, "saved as UTF-16 (Notepad's \"Unicode\"): save it as UTF-8 or ANSI");
    // The library ends its input at a NUL byte, taking whatever follows it
    // for no part of the text.
    if (const size_t nul = text.find('\0'); nul != std::string_view::npos)
        throw ConfigError(Place(text, nul + 1, where), "a NUL byte, which no text file holds");
    StrictBuilder builder(text, where, maxDepth);
    json::sax_parse(text, &builder);
    return builder.take();
}

json ReadJsonFile(const std::string& path, size_t maxBytes, size_t maxDepth)
{
    std::string text;
    try {
        text = ReadRegularFile(path, maxBytes);
    } catch (const FileRefused& refused) {
        throw ConfigError(path, refused.problem);
    }
    return ParseJsonText(text, path, maxDepth);
}

} // namespace zerloctl
