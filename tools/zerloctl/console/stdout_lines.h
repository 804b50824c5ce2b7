// Standard output for the commands that print while they run: whole lines
// that a closed pipe fails instead of killing the process.
#pragma once

#include <string>

namespace zerloctl {

bool StdoutIsTerminal();
// One line to standard output, with its line end, written whole unless the
// write fails; false then (a closed pipe, a full disk). Bypasses stdio, so
// that a line that never gets written holds no lock that exit needs.
bool WriteStdoutLine(const std::string& line);
// A reader that went away (`| head`) fails the write instead of ending
// the process by SIGPIPE (nothing to do on Windows).
void IgnoreBrokenPipe();

} // namespace zerloctl
