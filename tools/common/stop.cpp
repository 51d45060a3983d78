// The stop flag the tools share, and the signal handlers that raise it.
#include "stop.h"

#include <KFsCryptedFile.h>

#include <csignal>
#include <cstdio>

namespace korvtools {

namespace {

std::atomic<bool> stopRequested { false };
std::atomic<int> firstStatus { 0 };
volatile std::sig_atomic_t lastSignal = 0;

extern "C" void onStopSignal(int signal)
{
    lastSignal = signal;
    int expected = 0;
    firstStatus.compare_exchange_strong(expected, 128 + signal);
    stopRequested.store(true);
}

} // namespace

void stopOnSignals(std::initializer_list<int> caught, bool oneShot)
{
    KFsCryptedFile::setCancelFlag(&stopRequested);
    struct sigaction action { };
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = oneShot ? SA_RESETHAND : 0;
    for (int signal : caught)
        sigaction(signal, &action, nullptr);
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

void endAsSignalled()
{
    const int signal = lastSignal;
    if (signal == 0)
        return;
    std::fflush(stdout);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace korvtools
