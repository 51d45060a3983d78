// Windows programs write "\r\n" for every "\n" on a text-mode stdout. Test
// programs write plain "\n" instead: gtest_discover_tests reads their test
// list, and CMake on the Linux host running them under Wine would keep the
// '\r' in every test name.
#include <cstdio>

#include <fcntl.h>
#include <io.h>

namespace {

[[maybe_unused]] const bool lfOutput = [] {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
}();

} // namespace
