// Windows only: console control events reach the tools' handler.
#include "consolecancel_win32.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace korvtools;

TEST(ConsoleCancel, CtrlCRaisesTheFlagInsteadOfEndingTheProcess)
{
    static std::atomic<bool> flag{false};
    const auto raise = [] { flag.store(true); };
    // A console of our own: the inherited one (none, or Wine's Unix
    // terminal) may refuse control events. Output stays on the std handles.
    FreeConsole();
    AllocConsole();
    ASSERT_TRUE(raiseOnConsoleCancel(raise));
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
        GTEST_SKIP() << "no console to send Ctrl-C to (error " << GetLastError() << ")";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!flag.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(flag.load());
}
