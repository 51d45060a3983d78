// Keeping a replaced file what it was on POSIX: owner, group, permissions,
// ACL and extended attributes.
#include "posix_p.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include <acl/libacl.h>
#include <attr/libattr.h>
#include <fcntl.h>
#include <sys/acl.h>
#include <unistd.h>

namespace korv::platform::posix {

namespace {

// The extended attributes libattr copies: not those /etc/xattr.conf calls
// permissions (the ACL, copied on its own) or says to skip.
int isCopiedAttribute(const char* name, struct error_context* context)
{
    // libattr reads that file on first use, without a lock of its own.
    static std::mutex configuration;
    std::lock_guard<std::mutex> lock(configuration);
    return ::attr_copy_action(name, context) == 0;
}

} // namespace

// Gives the new file at path (open as fd) what the old target had besides
// its content: extended attributes, then its permission bits and its ACL.
// Attributes the process may not set (a security label without privilege,
// say) are skipped: libattr goes on past them, and without an error context
// it prints nothing.
bool takeOverMetadata(const std::string& target, const struct stat& old, const std::string& path, int fd)
{
    (void)::attr_copy_file(target.c_str(), path.c_str(), isCopiedAttribute, nullptr);
    if (::fchmod(fd, old.st_mode & kPermissionBits) != 0)
        return false;
    if (::acl_extended_file_nofollow(target.c_str()) != 1)
        return true;
    acl_t acl = ::acl_get_file(target.c_str(), ACL_TYPE_ACCESS);
    const bool ok = acl && ::acl_set_fd(fd, acl) == 0;
    if (acl)
        ::acl_free(acl);
    return ok;
}

// Gives the new file open as fd the old file's owner and group. False where
// that cannot be done: only a privileged process may give a file away, and
// only a member of a group may give a file to that group.
bool takeOverOwnership(int fd, const struct stat& old, struct stat& mine, bool mineKnown)
{
    if (!mineKnown && ::fstat(fd, &mine) != 0)
        return false;
    if ((mine.st_uid == old.st_uid && mine.st_gid == old.st_gid) || ::fchown(fd, old.st_uid, old.st_gid) == 0)
        return true;
    return mine.st_uid == old.st_uid && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
}

} // namespace korv::platform::posix
