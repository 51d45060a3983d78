// How much address space a whole-file mapping may take on Windows.
#include "platform_p.h"

#include <limits>

namespace korv::platform {

std::uint64_t mappableBytes()
{
    // A 32-bit process has 2 GiB of addresses (4 GiB when large-address
    // aware), cut up by its DLLs, heap and thread stacks: one range much
    // larger than this is unlikely to be free. A 64-bit one has room for any
    // file the format can describe.
    if (sizeof(void*) < 8)
        return std::uint64_t(1) << 30;
    return std::numeric_limits<std::uint64_t>::max();
}

} // namespace korv::platform
