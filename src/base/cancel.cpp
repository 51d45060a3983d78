// The process-wide cancel flag and the per-thread record of a stop it caused.
#include "cancel_p.h"

namespace korv {

namespace {

std::atomic<const std::atomic<bool>*> flagInUse { nullptr };
thread_local bool stopped = false;

} // namespace

void setCancelFlag(const std::atomic<bool>* flag)
{
    flagInUse.store(flag, std::memory_order_release);
}

bool cancelRequested()
{
    const std::atomic<bool>* flag = flagInUse.load(std::memory_order_acquire);
    const bool raised = flag && flag->load(std::memory_order_relaxed);
    if (raised)
        stopped = true;
    return raised;
}

void clearCancelled()
{
    stopped = false;
}

bool wasCancelled()
{
    return stopped;
}

} // namespace korv
