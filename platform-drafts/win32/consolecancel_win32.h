// Ctrl-C, Ctrl-Break and a closed console window as a cancel request.
#pragma once

#include <atomic>

namespace platform::win32 {

// From now on Ctrl-C, Ctrl-Break, a closed console window, logoff and
// shutdown raise *flag instead of ending the process, so the tool can stop
// and remove its unfinished file. Also turns Ctrl-C handling back on for a
// process started in a new process group, which inherits it switched off.
// The flag must outlive the process's use of it. Returns false when Windows
// refused the handler.
bool raiseOnConsoleCancel(std::atomic<bool>* flag);

// Called by the tool once its clean-up is done. After a closed window,
// logoff or shutdown, Windows ends the process as soon as the handler
// returns, so the handler waits for this call (a few seconds at most, the
// time Windows allows).
void consoleCleanupFinished();

} // namespace platform::win32
