// korv's questions about itself, answered by POSIX.
#include "sysinfo.h"

#include <algorithm>
#include <sched.h>
#include <unistd.h>

namespace korv {

void prepareStandardStreams()
{
}

bool stderrIsTerminal()
{
    return ::isatty(STDERR_FILENO);
}

int cpuCount()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(1, CPU_COUNT(&set));
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? int(n) : 1;
}

} // namespace korv
