// Console control events as requests to stop, on Windows.
#include "consolecancel_win32.h"
#include "stop.h"
#include "stop_p.h"

#include <KFsCryptedFile.h>

#include <cstdio>

#include <windows.h>

namespace korvtools {

namespace {

// The status Windows gives a process that Ctrl-C ended.
constexpr UINT kEndedByCtrlC = 0xC000013A;

std::atomic<bool> oneShotStop { false };

} // namespace

void stopOnRequests(bool hangUp, bool oneShot)
{
    (void)hangUp; // the console handler cannot take Ctrl-C without the rest
    oneShotStop.store(oneShot);
    KFsCryptedFile::setCancelFlag(&stopFlagForHandlers());
    raiseOnConsoleCancel([] {
        // A second request while stopping ends the process at once.
        if (oneShotStop.load() && stopFlag().load())
            ExitProcess(kEndedByCtrlC);
        requestStop(kEndedByCtrlC);
    });
}

void survivePipeReaderGone()
{
    // Windows raises no signal for a pipe whose reader is gone: writes fail.
}

void endAsSignalled()
{
    if (!stopFlag().load())
        return;
    std::fflush(stdout);
    // The clean-up is done: a closed console window may end the process now.
    consoleCleanupFinished();
    ExitProcess(kEndedByCtrlC);
}

} // namespace korvtools
