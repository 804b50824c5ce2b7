// ntoskrnl's _vsnprintf and DbgPrint as the emulated driver calls them: the
// format read from the driver's memory, the arguments from its stack.
#pragma once

#include <cstdint>
#include <string>

namespace zhost::i386 {

class EmulatedImage;

// The text of the driver's format at `format` with its arguments, an
// emulated va_list, at `args`.
std::string Format(EmulatedImage& image, uint32_t format, uint32_t args);

} // namespace zhost::i386
