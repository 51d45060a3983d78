#include "consolecancel_win32.h"

#include <windows.h>

namespace platform::win32 {

namespace {

std::atomic<std::atomic<bool>*> cancelFlag{nullptr};
HANDLE cleanupDone = nullptr; // manual-reset event, created once before the handler

// Windows allows a handler about 5 s after a closed window before it ends
// the process; finish waiting before that.
constexpr DWORD kCloseWaitMs = 4500;

BOOL WINAPI onConsoleControl(DWORD type)
{
    std::atomic<bool>* flag = cancelFlag.load();
    if (!flag)
        return FALSE;
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        flag->store(true);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        flag->store(true);
        // Returning ends the process: give the tool its clean-up first.
        WaitForSingleObject(cleanupDone, kCloseWaitMs);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

bool raiseOnConsoleCancel(std::atomic<bool>* flag)
{
    if (!cleanupDone) {
        cleanupDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!cleanupDone)
            return false;
    }
    cancelFlag.store(flag);
    SetConsoleCtrlHandler(nullptr, FALSE);
    return SetConsoleCtrlHandler(onConsoleControl, TRUE) != 0;
}

void consoleCleanupFinished()
{
    if (cleanupDone)
        SetEvent(cleanupDone);
}

} // namespace platform::win32
