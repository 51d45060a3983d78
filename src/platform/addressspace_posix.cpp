// How much address space a whole-file mapping may take on POSIX.
#include "platform_p.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include <sys/resource.h>
#include <unistd.h>

namespace korv::platform {

namespace {

// A 32-bit process has at most 4 GiB of addresses (3 GiB under a 32-bit
// kernel), cut up by its libraries, heap and thread stacks: one range much
// larger than this is unlikely to be free.
constexpr std::uint64_t kLargestRangeOn32Bit = 1ull << 30;

// What the process maps now and what of that counts as data, in bytes;
// zero where the system does not say.
void mappedNow(std::uint64_t& all, std::uint64_t& data)
{
    all = data = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "re");
    if (!f)
        return;
    unsigned long long size = 0, resident = 0, shared = 0, text = 0, library = 0, dataPages = 0;
    if (std::fscanf(f, "%llu %llu %llu %llu %llu %llu", &size, &resident, &shared, &text, &library, &dataPages)
        == 6) {
        const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        all = size * page;
        data = dataPages * page;
    }
    std::fclose(f);
}

// Half of what a limit leaves free: the decoder, the other side of a copy
// and other threads need room too.
std::uint64_t halfOfFree(const struct rlimit& limit, std::uint64_t used)
{
    if (limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<std::uint64_t>::max();
    const auto most = static_cast<std::uint64_t>(limit.rlim_cur);
    return most > used ? (most - used) / 2 : 0;
}

} // namespace

std::uint64_t mappableBytes()
{
    std::uint64_t most
        = sizeof(void*) < 8 ? kLargestRangeOn32Bit : std::numeric_limits<std::uint64_t>::max();
    struct rlimit as { RLIM_INFINITY, RLIM_INFINITY }, data { RLIM_INFINITY, RLIM_INFINITY };
    (void)::getrlimit(RLIMIT_AS, &as);
    (void)::getrlimit(RLIMIT_DATA, &data);
    // Unlimited, the common case, costs no look at /proc.
    if (as.rlim_cur == RLIM_INFINITY && data.rlim_cur == RLIM_INFINITY)
        return most;
    std::uint64_t all = 0, dataBytes = 0;
    mappedNow(all, dataBytes);
    // Large allocations are private mappings, which RLIMIT_DATA counts too.
    return std::min({ most, halfOfFree(as, all), halfOfFree(data, dataBytes) });
}

} // namespace korv::platform
