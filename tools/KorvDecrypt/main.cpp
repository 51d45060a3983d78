// KorvDecrypt: decrypts one crypted file to another path, or in place.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

#include <KFsCryptedFile.h>

namespace {

std::atomic<bool> interrupted { false };
volatile std::sig_atomic_t interruptSignal = 0;

extern "C" void onInterrupt(int signal)
{
    interruptSignal = signal;
    interrupted.store(true);
}

// Ctrl-C, kill and a closed terminal stop the decryption: the library then
// drops its unfinished file and leaves the target as it was.
void stopOnInterrupt()
{
    struct sigaction action { };
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: an open waiting for a FIFO's reader is interrupted too.
    for (int signal : { SIGINT, SIGTERM, SIGHUP })
        sigaction(signal, &action, nullptr);
    KFsCryptedFile::setCancelFlag(&interrupted);
}

// Ends the process as the signal would have, so that the caller sees it.
void endIfInterrupted()
{
    if (!interrupted.load())
        return;
    std::fflush(stdout);
    const int signal = interruptSignal;
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 3) {
        std::printf("Usage :\n");
        std::printf("KorvDecrypt.exe <source> [ <target> ]\n");
        std::printf("Note : when <target> is omitted, 'in place' decryption will occur.\n");
        return -1;
    }
    const std::string source = argv[1];
    const std::string target = argc == 3 ? argv[2] : argv[1];

    stopOnInterrupt();
    std::printf("Decrypting\tsource\t: %s\n\t\ttarget\t: %s\n\t\tresult\t: ", source.c_str(), target.c_str());
    const bool ok = KFsCryptedFile::decrypt(source, target, nullptr);
    endIfInterrupted();
    if (ok) {
        std::printf("OK\n");
        return 0;
    }
    std::printf("ERROR\n");
    return -1;
}
