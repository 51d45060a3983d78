// Path splitting, the same on every platform that separates with '/'.
#include "paths_p.h"

#include <climits>

namespace korv::platform {

std::string directoryOf(const std::string& path)
{
    std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos)
        return "/";
    const std::size_t slash = path.rfind('/', end);
    if (slash == std::string::npos)
        return ".";
    end = path.find_last_not_of('/', slash);
    return end == std::string::npos ? "/" : path.substr(0, end + 1);
}

std::string fileNameOf(const std::string& path)
{
    const std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos)
        return std::string();
    const std::size_t slash = path.rfind('/', end);
    const std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(begin, end + 1 - begin);
}

std::size_t pathLimit()
{
    return PATH_MAX;
}

} // namespace korv::platform
