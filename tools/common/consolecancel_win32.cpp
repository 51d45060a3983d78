#include "consolecancel_win32.h"

#include <atomic>

#include <windows.h>

namespace korvtools {

namespace {

std::atomic<void (*)()> cancelHandler{nullptr};
HANDLE cleanupDone = nullptr; // manual-reset event, created once before the handler

// Windows allows a handler about 5 s after a closed window before it ends
// the process; finish waiting before that.
constexpr DWORD kCloseWaitMs = 4500;

BOOL WINAPI onConsoleControl(DWORD type)
{
    void (*onCancel)() = cancelHandler.load();
    if (!onCancel)
        return FALSE;
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        onCancel();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        onCancel();
        // Returning ends the process: give the tool its clean-up first.
        WaitForSingleObject(cleanupDone, kCloseWaitMs);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

bool raiseOnConsoleCancel(void (*onCancel)())
{
    if (!cleanupDone) {
        cleanupDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!cleanupDone)
            return false;
    }
    cancelHandler.store(onCancel);
    SetConsoleCtrlHandler(nullptr, FALSE);
    return SetConsoleCtrlHandler(onConsoleControl, TRUE) != 0;
}

void consoleCleanupFinished()
{
    if (cleanupDone)
        SetEvent(cleanupDone);
}

} // namespace korvtools
