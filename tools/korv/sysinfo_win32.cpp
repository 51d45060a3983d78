// korv's questions about itself, answered by Windows.
#include "sysinfo.h"

#include <algorithm>
#include <thread>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace korv {

void prepareStandardStreams()
{
    // cat's bytes and a list of names pass unchanged; report lines end in LF.
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
}

bool stderrIsTerminal()
{
    // A console redraws the line only when it takes escape sequences; NUL
    // and files are no console (isatty() would call NUL a terminal).
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err == INVALID_HANDLE_VALUE || err == nullptr || !GetConsoleMode(err, &mode))
        return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0
        || SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int cpuCount()
{
    return std::max(1, int(std::thread::hardware_concurrency()));
}

std::size_t openFileLimit()
{
    // Handles, not C descriptors: Windows sets no small limit on them.
    return std::size_t(1) << 16;
}

} // namespace korv
