#include "widepath_win32.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cwchar>

namespace korv::platform::win32 {

namespace {

// Below this length every Win32 call takes a plain path (CreateDirectoryW
// keeps 12 characters for an 8.3 name); from it on only \\?\ paths work.
constexpr std::size_t kLongPath = MAX_PATH - 12;

bool startsWith(const std::wstring& s, const wchar_t* prefix)
{
    return s.compare(0, std::wcslen(prefix), prefix) == 0;
}

} // namespace

std::wstring widePath(const std::string& path)
{
    if (path.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return {};
    }
    if (path.size() > static_cast<std::size_t>(INT_MAX)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return {};
    }
    // No MB_ERR_INVALID_CHARS: QString::fromLocal8Bit does not refuse bytes
    // the code page does not define either, and both must name one file.
    const int size = static_cast<int>(path.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, path.data(), size, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, path.data(), size, wide.data(), n) != n)
        return {};
    // A NUL would silently end the path early: another file than the caller named.
    if (wide.find(L'\0') != std::wstring::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return {};
    }
    // Windows takes a \\?\ path literally: there '/' is no separator but a
    // character no name may hold, and the names made here join with '/'.
    if (startsWith(wide, L"\\\\?\\")) {
        std::replace(wide.begin(), wide.end(), L'/', L'\\');
        return wide;
    }
    if (startsWith(wide, L"\\\\.\\"))
        return wide;

    // Resolve now what Windows would resolve for a plain path (the current
    // directory, '/', '.', '..'): a \\?\ path is taken literally.
    DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full;
    for (;;) {
        if (need == 0)
            return {};
        full.assign(need, L'\0');
        const DWORD got = GetFullPathNameW(wide.c_str(), need, full.data(), nullptr);
        if (got == 0)
            return {};
        if (got < need) {
            full.resize(got);
            break;
        }
        need = got; // the current directory changed in between
    }
    if (full.size() < kLongPath)
        return full;
    if (startsWith(full, L"\\\\")) // \\server\share\...
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

} // namespace korv::platform::win32
