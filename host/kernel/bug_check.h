// How the host kernel stops: where Windows would bug-check, it prints
// "*** STOP: " and the reason, and aborts the process, so that the test or
// the program that drove the driver there fails on the spot.
#pragma once

namespace zhost {

[[noreturn]] void BugCheck(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace zhost
