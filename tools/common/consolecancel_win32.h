// Ctrl-C, Ctrl-Break and a closed console window as a cancel request.
#pragma once

namespace korvtools {

// From now on Ctrl-C, Ctrl-Break, a closed console window, logoff and
// shutdown call onCancel (on a thread of Windows') instead of ending the
// process, so the tool can stop and remove its unfinished file. Also turns
// Ctrl-C handling back on for a process started in a new process group,
// which inherits it switched off. False when Windows refused the handler.
bool raiseOnConsoleCancel(void (*onCancel)());

// Called by the tool once its clean-up is done. After a closed window,
// logoff or shutdown, Windows ends the process as soon as the handler
// returns, so the handler waits for this call (a few seconds at most, the
// time Windows allows).
void consoleCleanupFinished();

} // namespace korvtools
