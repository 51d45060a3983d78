// Signals as requests to stop, on POSIX.
#include "stop.h"
#include "stop_p.h"

#include <KFsCryptedFile.h>

#include <csignal>
#include <cstdio>

namespace korvtools {

namespace {

volatile std::sig_atomic_t lastSignal = 0;

extern "C" void onStopSignal(int signal)
{
    lastSignal = signal;
    requestStop(128 + signal);
}

} // namespace

void stopOnRequests(bool hangUp, bool oneShot)
{
    KFsCryptedFile::setCancelFlag(&stopFlagForHandlers());
    struct sigaction action { };
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = oneShot ? SA_RESETHAND : 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (hangUp)
        sigaction(SIGHUP, &action, nullptr);
}

void survivePipeReaderGone()
{
    std::signal(SIGPIPE, SIG_IGN);
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
