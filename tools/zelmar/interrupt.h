// Ctrl-C (SIGINT) and SIGTERM end a command's work early and in order: the handler only
// notes the signal, the command's loop sees it, stops its components and finishes its files.
// A second signal ends the program at once.
#pragma once

namespace cli {

// Installs the handlers (and ignores SIGPIPE); commands that write files call it before
// their loop.
void CatchStopSignals();
// The signal that asked the command to stop, 0 while none has.
int StopSignal();
inline bool StopRequested() { return StopSignal() != 0; }
// The exit status of a command that stopped on a signal: 128 + its number, as a shell reports
// a program the signal ended.
int StoppedStatus();
// " (stopped by SIGINT)" once a signal asked to stop, "" before.
const char* StoppedNote();

}  // namespace cli
