// The driver's text replies carry firmware strings byte for byte, and
// neither SMBIOS nor ACPI promises a character set for them: any byte but
// NUL can arrive. These make such a text safe for JSON and for a terminal.
#pragma once

#include <string>
#include <string_view>

namespace zerloctl {

// Each byte as the code point of the same number (ISO 8859-1), in UTF-8:
// valid for any bytes, and the bytes come back by taking each code point
// as one byte.
std::string BytesAsLatin1(std::string_view bytes);

// For a terminal: every control byte (below 0x20, and 0x7F) as \xNN but
// tab and the CR LF that ends each of the driver's lines. A firmware string
// can then neither move the cursor nor send an escape sequence, nor pass
// for a line of its own (the driver ends none with a bare LF).
std::string EscapeControlBytes(std::string_view text);

} // namespace zerloctl
