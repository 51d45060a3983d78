// The stop flag the tools share. stop_posix.cpp and stop_win32.cpp raise it
// on the system's requests to stop.
#include "stop.h"
#include "stop_p.h"

namespace korvtools {

namespace {

std::atomic<bool> stopRequested { false };
std::atomic<int> firstStatus { 0 };

} // namespace

std::atomic<bool>& stopFlagForHandlers()
{
    return stopRequested;
}

const std::atomic<bool>& stopFlag()
{
    return stopRequested;
}

void requestStop(int status)
{
    int expected = 0;
    firstStatus.compare_exchange_strong(expected, status);
    stopRequested.store(true);
}

int stopStatus()
{
    return firstStatus.load();
}

} // namespace korvtools
