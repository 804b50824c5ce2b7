#include "guest_format.h"

#include "emulated_image.h"

#include <cstdio>
#include <vector>

namespace zhost::i386 {

namespace {

constexpr uint32_t kFormatLimit = 4096;

// One conversion of a format: flags, width and precision as numbers (-1
// when absent), the size prefix and the conversion letter.
struct Conversion {
    std::string flags;
    int width = -1;
    int precision = -1;
    char size = 0; // 'h', 'l', 'w' or '6' (ll, I64); 0 for none
    char letter = 0;
};
constexpr int kFieldLimit = 4096; // widest field and longest precision formatted

// The host's snprintf of one conversion, as long as it comes out.
template <class T> std::string HostFormat(const Conversion& c, const char* length, T value)
{
    std::string directive = "%" + c.flags;
    if (c.width >= 0) directive += std::to_string(c.width);
    if (c.precision >= 0) directive += "." + std::to_string(c.precision);
    directive += length;
    directive += c.letter;
    std::vector<char> text(static_cast<size_t>(std::snprintf(nullptr, 0, directive.c_str(), value)) + 1);
    std::snprintf(text.data(), text.size(), directive.c_str(), value);
    return text.data();
}

// A format of the driver read from its memory, and its arguments, an
// emulated va_list. What ntoskrnl's _vsnprintf formats and the driver may
// use is formatted as NT does: msvcrt's `h` is 16 bits, `l` and `I32` 32,
// `ll` and `I64` 64; a `.` without digits is precision 0, a negative `*`
// width left-justifies and a negative `*` precision counts as none. Anything
// else stops the run, naming the format.
class Formatter {
  public:
    Formatter(EmulatedImage& image, uint32_t format, uint32_t args) : image_(image), args_(args)
    {
        for (uint32_t at = format;; ++at) {
            if (at - format > kFormatLimit) image.stop("format string longer than 4 KiB");
            const char c = static_cast<char>(image.readByte(at));
            if (c == 0) break;
            format_ += c;
        }
    }

    std::string text()
    {
        std::string text;
        for (at_ = 0; at_ < format_.size();) {
            const char c = format_[at_++];
            if (c != '%') {
                text += c;
            } else if (peek() == '%') {
                ++at_;
                text += '%';
            } else {
                text += convert(parse());
            }
        }
        return text;
    }

  private:
    char peek() const { return at_ < format_.size() ? format_[at_] : '\0'; }
    [[noreturn]] void refuse(const std::string& why)
    {
        image_.stop("_vsnprintf: " + why + " in format \"" + format_ + "\"");
    }
    uint32_t next32()
    {
        const uint32_t value = image_.read32(args_);
        args_ += 4;
        return value;
    }
    // A width or precision: digits, `*` (an int argument) or none.
    std::optional<int> number()
    {
        if (peek() == '*') {
            ++at_;
            return static_cast<int32_t>(next32());
        }
        if (peek() < '0' || peek() > '9') return std::nullopt;
        int value = 0;
        while (peek() >= '0' && peek() <= '9') {
            value = value * 10 + (format_[at_++] - '0');
            if (value > kFieldLimit) break; // refused below, before it overflows
        }
        return value;
    }
    Conversion parse()
    {
        Conversion c;
        while (peek() != '\0' && std::strchr("-+ #0", peek()) != nullptr)
            c.flags += format_[at_++];
        if (const std::optional<int> width = number()) {
            if (*width < 0) c.flags += '-';
            if (*width < -kFieldLimit || *width > kFieldLimit) refuse("a width above 4096");
            c.width = std::abs(*width);
        }
        if (peek() == '.') {
            ++at_;
            const std::optional<int> precision = number();
            c.precision = !precision ? 0 : std::max(*precision, -1);
            if (c.precision > kFieldLimit) refuse("a precision above 4096");
        }
        if (format_.compare(at_, 3, "I64") == 0 || format_.compare(at_, 2, "ll") == 0) {
            c.size = '6';
            at_ += format_[at_] == 'I' ? 3 : 2;
        } else if (format_.compare(at_, 3, "I32") == 0) {
            c.size = 'l';
            at_ += 3;
        } else if (peek() == 'l' || peek() == 'h' || peek() == 'w') {
            c.size = format_[at_++];
        }
        c.letter = peek();
        if (c.letter == '\0') refuse("a conversion cut off by the end");
        ++at_;
        return c;
    }
    std::string convert(const Conversion& c)
    {
        const bool isSigned = c.letter == 'd' || c.letter == 'i';
        if (std::strchr("diuoxX", c.letter) != nullptr && c.size != 'w') {
            if (c.size == '6') {
                const uint64_t low = next32();
                const uint64_t value = low | uint64_t{next32()} << 32;
                if (isSigned) return HostFormat(c, "ll", static_cast<long long>(value));
                return HostFormat(c, "ll", static_cast<unsigned long long>(value));
            }
            const uint32_t value = next32();
            if (c.size == 'h') {
                if (isSigned) return HostFormat(c, "", int{static_cast<int16_t>(value)});
                return HostFormat(c, "", unsigned{static_cast<uint16_t>(value)});
            }
            if (isSigned) return HostFormat(c, "", static_cast<int32_t>(value));
            return HostFormat(c, "", value);
        }
        // `h` names the narrow character and string, as no prefix does; the
        // wide ones (`l`, `w`, `C`, `S`) are not the driver's.
        if (c.size != 0 && c.size != 'h') refuse(std::string("a size prefix on %") + c.letter);
        switch (c.letter) {
        case 'c': return HostFormat(c, "", static_cast<int>(static_cast<uint8_t>(next32())));
        case 'p': return HostFormat(Conversion{"0", 8, -1, 0, 'X'}, "", next32());
        case 's': {
            const uint32_t address = next32();
            std::string value = "(null)";
            if (address != 0) {
                // A precision bounds the read as it bounds the text: the
                // string need not be terminated within it.
                const size_t limit = c.precision >= 0 ? static_cast<size_t>(c.precision) : kFormatLimit;
                value.clear();
                for (uint32_t at = address; value.size() < limit; ++at) {
                    const uint8_t byte = image_.readByte(at);
                    if (byte == 0) break;
                    value += static_cast<char>(byte);
                }
            }
            return HostFormat(c, "", value.c_str());
        }
        default: refuse(std::string("conversion %") + c.letter + ", which the driver may not use,");
        }
    }

    EmulatedImage& image_;
    uint32_t args_;
    std::string format_;
    size_t at_ = 0;
};

} // namespace

std::string Format(EmulatedImage& image, uint32_t format, uint32_t args)
{
    return Formatter(image, format, args).text();
}

} // namespace zhost::i386
