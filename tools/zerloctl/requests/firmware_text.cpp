#include "requests/firmware_text.h"

#include <cstdio>

namespace zerloctl {

std::string BytesAsLatin1(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | byte >> 6);
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

std::string EscapeControlBytes(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool lineEnd = byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
        const bool afterCr = byte == '\n' && i > 0 && text[i - 1] == '\r';
        if ((byte >= 0x20 && byte != 0x7F) || byte == '\t' || lineEnd || afterCr) {
            shown += text[i];
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        shown += escaped;
    }
    return shown;
}

} // namespace zerloctl
