// How the tools stop when asked to: the signals they catch raise one flag,
// which the library polls as its cancel flag, so that a conversion in flight
// stops and leaves the old file whole.
#pragma once

#include <atomic>
#include <initializer_list>

namespace korvtools {

// Catches the signals `caught` and hands the flag to the library
// (KFsCryptedFile::setCancelFlag). No SA_RESTART: an open waiting for a
// FIFO's reader is interrupted too. With oneShot a second signal ends the
// process at once, for whoever wants out whatever it costs.
void stopOnSignals(std::initializer_list<int> caught, bool oneShot);

// Raised by the handlers and by requestStop().
const std::atomic<bool>& stopFlag();
// Raises the flag for another reason; status is what the tool exits with.
void requestStop(int status);
// 128 + the first signal caught, or the status of the first requestStop();
// 0 while no stop was requested.
int stopStatus();
// Ends the process as the last signal caught would have, so that the caller
// sees it; returns when no signal was caught.
void endAsSignalled();

} // namespace korvtools
