// Keeping a replaced file what it was on POSIX: owner, group, permissions,
// ACL and extended attributes; and the umask a new file gets.
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

// The process's umask, read without setting it: umask() can only be read by
// changing it, which would race with other threads creating files.
mode_t currentUmask()
{
    int fd = openRetrying("/proc/self/status", O_RDONLY);
    char text[4096];
    const ssize_t n = fd >= 0 ? ::read(fd, text, sizeof text - 1) : -1;
    closeFd(fd);
    if (n > 0) {
        text[n] = '\0';
        if (const char* line = std::strstr(text, "\nUmask:"))
            return static_cast<mode_t>(std::strtoul(line + 7, nullptr, 8));
    }
    return 077; // unknown: the new file stays private
}

// Gives the file open as fd what a new file made with mode 0666 in dir takes
// from the directory's default ACL. False when dir has none: the umask rules.
bool applyDefaultAcl(const std::string& dir, int fd)
{
    acl_t acl = ::acl_get_file(dir.c_str(), ACL_TYPE_DEFAULT);
    if (!acl)
        return false;
    bool applied = false;
    if (::acl_entries(acl) > 0) {
        const auto tagOf = [](acl_entry_t entry) {
            acl_tag_t tag = ACL_UNDEFINED_TAG;
            (void)::acl_get_tag_type(entry, &tag);
            return tag;
        };
        acl_entry_t entry;
        bool hasMask = false;
        for (int id = ACL_FIRST_ENTRY; ::acl_get_entry(acl, id, &entry) == 1; id = ACL_NEXT_ENTRY)
            hasMask = hasMask || tagOf(entry) == ACL_MASK;
        // The create mode 0666 takes execute away from the entries it covers.
        for (int id = ACL_FIRST_ENTRY; ::acl_get_entry(acl, id, &entry) == 1; id = ACL_NEXT_ENTRY) {
            const acl_tag_t tag = tagOf(entry);
            acl_permset_t permissions;
            if ((tag == ACL_USER_OBJ || tag == ACL_OTHER || tag == (hasMask ? ACL_MASK : ACL_GROUP_OBJ))
                && ::acl_get_permset(entry, &permissions) == 0) {
                ::acl_delete_perm(permissions, ACL_EXECUTE);
                ::acl_set_permset(entry, permissions);
            }
        }
        applied = ::acl_set_fd(fd, acl) == 0;
    }
    ::acl_free(acl);
    return applied;
}

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
bool takeOverOwnership(int fd, const struct stat& old)
{
    struct stat mine;
    if (::fstat(fd, &mine) != 0)
        return false;
    if ((mine.st_uid == old.st_uid && mine.st_gid == old.st_gid) || ::fchown(fd, old.st_uid, old.st_gid) == 0)
        return true;
    return mine.st_uid == old.st_uid && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
}

} // namespace korv::platform::posix
