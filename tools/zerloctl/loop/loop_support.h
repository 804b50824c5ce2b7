// Time and stopping for the commands that run over time: a real clock, the
// simulated machine's clock on Linux, and the signals (console events on
// Windows) that ask a running command to stop.
#pragma once

#include "loop/fan_loop.h"
#include "platform/transport.h"

#include <atomic>
#include <memory>
#include <string>

namespace zerloctl {

// Nonzero once a stop was asked for: the signal number, or kConsoleClosed.
constexpr int kConsoleClosed = 1000;
const std::atomic<int>& StopRequest();
void InstallStopHandlers();
void ResetStopRequest();       // for a loop started again in the same process
void RequestStop(int request); // as a signal would (a service's stop control)
constexpr int kServiceStop = 1001;
// Tells a console-close handler that the fans are safe and the process may
// end (Windows ends it when the handler returns).
void MarkStopped();
// Asks a running loop to read back every fan it controls at once, and wakes
// it from its wait: the firmware may have changed them (resume from standby).
void RequestRecheck();
bool TakeRecheckRequest(); // true once per request
std::string StopName(int request);

// On the simulated machine waiting advances its clock; `timeScale` is
// simulated seconds per real second there (0: no real waiting at all).
std::unique_ptr<LoopClock> MakeLoopClock(Transport& transport, double timeScale);
std::unique_ptr<LoopClock> MakeRealClock();

bool StdoutIsTerminal();
// One line to standard output, with its line end, written whole unless the
// write fails; false then (a closed pipe, a full disk). Bypasses stdio, so
// that a line that never gets written holds no lock that exit needs.
bool WriteStdoutLine(const std::string& line);
// A reader that went away (`| head`) fails the write instead of ending
// the process by SIGPIPE (nothing to do on Windows).
void IgnoreBrokenPipe();

} // namespace zerloctl
