#include "json_reader.h"

#include <algorithm>
#include <fstream>
#include <string_view>
#include <vector>

namespace zerloctl {

namespace {

using nlohmann::json;

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
        const std::string_view before = text_.substr(0, std::min(offset, text_.size()));
        const size_t lineStart = before.rfind('\n');
        const size_t line = static_cast<size_t>(std::count(before.begin(), before.end(), '\n')) + 1;
        const size_t column = lineStart == std::string_view::npos ? before.size() : before.size() - lineStart - 1;
        std::string problem = error.what();
        problem.erase(0, problem.find("] ") + 2); // the library's "[json.exception.parse_error.101] "
        if (problem.starts_with("parse error at ")) problem.erase(0, problem.find(": ") + 2);
        throw ConfigError(path_ + ": line " + std::to_string(line) + ", column " + std::to_string(column), problem);
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

json ReadJsonFile(const std::string& path, size_t maxBytes, size_t maxDepth)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ConfigError(path, "cannot open");
    std::string text(maxBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > maxBytes) throw ConfigError(path, "longer than " + std::to_string(maxBytes) + " bytes");
    StrictBuilder builder(text, path, maxDepth);
    json::sax_parse(text, &builder);
    return builder.take();
}

} // namespace zerloctl
