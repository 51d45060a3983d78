// Target path preparation: missing parent directories, read-only targets.
#include "targetpath_p.h"

#include <climits>
#include <vector>

#include "platform_p.h"

namespace korv {

namespace {

// The directory part of path as it is written ("." for a bare name, "/" at
// the root). Paths stay byte strings: a name need not be valid UTF-8.
std::string parentOf(const std::string& path)
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

std::string lastNameOf(const std::string& path)
{
    const std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos)
        return std::string();
    const std::size_t slash = path.rfind('/', end);
    const std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(begin, end + 1 - begin);
}

} // namespace

void prepareTargetPath(const std::string& target)
{
    createParentDirectories(target);
    if (platform::exists(target) && platform::isReadOnly(target))
        platform::clearReadOnly(target);
}

void createParentDirectories(const std::string& target)
{
    // A path the system cannot open is never written: make nothing for it.
    if (target.size() >= PATH_MAX)
        return;

    // Walk up to the nearest path that exists, collecting the missing names
    // from the deepest to the shallowest. A path whose parent is itself (the
    // root, or "." when the working directory is gone) ends the walk.
    std::string existing = parentOf(target);
    std::vector<std::string> missing;
    while (!platform::exists(existing)) {
        const std::string parent = parentOf(existing);
        if (parent == existing)
            break;
        missing.push_back(lastNameOf(existing));
        existing = parent;
    }

    // Create them from the top down; one that fails is skipped silently.
    std::string dir = existing;
    while (!missing.empty()) {
        dir += (dir.back() == '/' ? "" : "/") + missing.back();
        platform::makeDirectory(dir);
        missing.pop_back();
    }
}

} // namespace korv
