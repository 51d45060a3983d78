// How the tools stop when asked to: Ctrl-C and its kin raise one flag, which
// the library polls as its cancel flag, so that a conversion in flight stops
// and leaves the old file whole.
#pragma once

#include <atomic>

namespace korvtools {

// From now on the requests to stop raise the flag and hand it to the library
// (KFsCryptedFile::setCancelFlag): SIGINT and SIGTERM, with hangUp SIGHUP
// too (Windows: Ctrl-C and Ctrl-Break; with hangUp a closed console window,
// logoff and shutdown). No SA_RESTART: an open waiting for a FIFO's reader
// is interrupted too. With oneShot a second request ends the process at
// once, for whoever wants out whatever it costs.
void stopOnRequests(bool hangUp, bool oneShot);
// A reader of stdout that goes away makes writes fail (EPIPE) rather than
// end the process.
void survivePipeReaderGone();

// Raised by the handlers and by requestStop().
const std::atomic<bool>& stopFlag();
// Raises the flag for another reason; status is what the tool exits with.
void requestStop(int status);
// 128 + the first signal caught, or the status of the first requestStop();
// 0 while no stop was requested.
int stopStatus();
// Ends the process as the request to stop would have ended it, so that the
// caller sees it; returns when none came.
void endAsSignalled();

} // namespace korvtools
