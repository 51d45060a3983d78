// The reason for the last failure of the platform interface, per thread.
#include "platform_p.h"

namespace korv::platform {

namespace {

thread_local int lastErrorValue = 0;

} // namespace

int lastError()
{
    return lastErrorValue;
}

void clearLastError()
{
    lastErrorValue = 0;
}

bool failWith(int error)
{
    lastErrorValue = error;
    return false;
}

} // namespace korv::platform
