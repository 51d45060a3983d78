// One look at a path on POSIX: lstat, and stat behind a symbolic link.
#include "platform_p.h"
#include "posix_p.h"

namespace korv::platform {

void posix::takeFacts(const struct stat& st, PathFacts& facts)
{
    facts.exists = true;
    facts.regular = S_ISREG(st.st_mode);
    facts.directory = S_ISDIR(st.st_mode);
    facts.device = st.st_dev;
    facts.inode = st.st_ino;
    facts.links = st.st_nlink;
    facts.mode = st.st_mode & kPermissionBits;
    facts.owner = st.st_uid;
    facts.group = st.st_gid;
}

using namespace posix;

bool lookAt(const std::string& path, PathFacts& facts)
{
    facts = PathFacts {};
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return fail();
    facts.link = S_ISLNK(st.st_mode);
    if (facts.link && !statPath(path, st))
        return fail();
    takeFacts(st, facts);
    return true;
}

} // namespace korv::platform
