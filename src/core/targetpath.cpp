// Target path preparation: missing parent directories, read-only targets.
#include "targetpath_p.h"

#include <vector>

#include "paths_p.h"
#include "platform_p.h"

namespace korv {

void prepareTargetPath(const std::string& target)
{
    createParentDirectories(target);
    if (platform::exists(target) && platform::isReadOnly(target))
        platform::clearReadOnly(target);
}

void createParentDirectories(const std::string& target, std::vector<std::string>* made)
{
    // A path the system cannot open is never written: make nothing for it.
    if (target.size() >= platform::pathLimit())
        return;

    // Walk up to the nearest path that exists, collecting the missing names
    // from the deepest to the shallowest. A path whose parent is itself (the
    // root, or "." when the working directory is gone) ends the walk.
    std::string existing = platform::directoryOf(target);
    std::vector<std::string> missing;
    while (!platform::exists(existing)) {
        const std::string parent = platform::directoryOf(existing);
        if (parent == existing)
            break;
        missing.push_back(platform::fileNameOf(existing));
        existing = parent;
    }

    // Create them from the top down; one that fails is skipped silently.
    std::string dir = existing;
    while (!missing.empty()) {
        dir += (dir.back() == '/' ? "" : "/") + missing.back();
        if (platform::makeDirectory(dir) && made)
            made->push_back(dir);
        missing.pop_back();
    }
}

} // namespace korv
