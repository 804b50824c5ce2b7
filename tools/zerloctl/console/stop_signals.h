// The signals (console events on Windows) that ask a running command to
// stop, and the recheck a resume from standby asks of the fan loop.
#pragma once

#include <atomic>
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
bool RecheckRequested();   // without taking it: what ends a wait early
std::string StopName(int request);

} // namespace zerloctl
