// Path splitting on Windows: '\' and '/' both separate, a drive ("C:") or a
// root ("\", "C:\", "\\?\C:\") stays whole. In a double-byte code page a
// trail byte may equal '\', so the path is walked character by character.
#include "paths_p.h"

#include <windows.h>

#include <vector>

namespace korv::platform {

namespace {

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

// Where each character starts that is a separator.
std::vector<std::size_t> separators(const std::string& path)
{
    std::vector<std::size_t> result;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(path[i])))
            ++i;
        else if (isSeparator(path[i]))
            result.push_back(i);
    }
    return result;
}

// The length of the drive prefix ("C:"), 0 without one.
std::size_t driveLength(const std::string& path)
{
    return path.size() >= 2 && path[1] == ':' && !IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(path[0])) ? 2 : 0;
}

// Drops the run of separators that ends at end from seps; returns where
// the run starts (end when there is none).
std::size_t dropRunBefore(std::vector<std::size_t>& seps, std::size_t end)
{
    while (!seps.empty() && seps.back() + 1 == end) {
        end = seps.back();
        seps.pop_back();
    }
    return end;
}

} // namespace

std::string directoryOf(const std::string& path)
{
    const std::size_t drive = driveLength(path);
    std::vector<std::size_t> seps = separators(path);
    // Trailing separators do not count.
    const std::size_t end = dropRunBefore(seps, path.size());
    if (end <= drive)
        return path.substr(0, drive) + (path.size() > drive ? path.substr(drive, 1) : std::string("/"));
    if (seps.empty())
        return drive ? path.substr(0, drive) : std::string(".");
    // The separators before the last component, all of them.
    const std::size_t last = seps.back();
    seps.pop_back();
    const std::size_t cut = dropRunBefore(seps, last);
    // At a root the separator stays: "C:\" and "\" name the root, "C:" does not.
    return cut <= drive ? path.substr(0, drive + 1) : path.substr(0, cut);
}

std::string fileNameOf(const std::string& path)
{
    const std::size_t drive = driveLength(path);
    std::vector<std::size_t> seps = separators(path);
    const std::size_t end = dropRunBefore(seps, path.size());
    if (end <= drive)
        return std::string();
    const std::size_t begin = seps.empty() ? drive : seps.back() + 1;
    return path.substr(begin, end - begin);
}

std::size_t pathLimit()
{
    // What a \\?\ path reaches (widePath gives long paths one), not MAX_PATH.
    return 32767;
}

} // namespace korv::platform
