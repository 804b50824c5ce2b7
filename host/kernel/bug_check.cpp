#include "bug_check.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace zhost {

void BugCheck(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "*** STOP: %s\n", text);
    std::fflush(stderr);
    std::abort();
}

} // namespace zhost
