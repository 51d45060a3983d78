// OutputFile's routes that replace a regular file on POSIX: a new file
// beside the target renamed over it, or content prepared in the temporary
// directory and copied into the target itself.
#include "inputfile_p.h"
#include "outputfile_p.h"
#include "platform_p.h"
#include "posix_p.h"
#include "paths_p.h"
#include "testhooks_p.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace korv::platform {

using namespace posix;

NewFileFacts::NewFileFacts()
    : d(std::make_unique<Private>())
{
}

NewFileFacts::~NewFileFacts() = default;

void NewFileFacts::forget()
{
    d->directories.clear();
}

NewFileFacts::Private::Directory* NewFileFacts::Private::find(const std::string& dir)
{
    const auto it = directories.find(dir);
    return it == directories.end() ? nullptr : &it->second;
}

void NewFileFacts::Private::learn(const std::string& dir, const struct stat& mine)
{
    Directory& known = directories[dir];
    known.owner = mine.st_uid;
    known.group = mine.st_gid;
    // No default ACL: ENODATA; a file system without ACLs: ENOTSUP. Anything
    // else counts as one, which only costs the system calls it would save.
    const ssize_t n = ::getxattr(dir.c_str(), "system.posix_acl_default", nullptr, 0);
    known.inheritsAcl = n > 0 || (n < 0 && errno != ENODATA && errno != ENOTSUP);
}

int NewFileFacts::Private::umask()
{
    if (processUmask != kUnread)
        return processUmask;
    // umask() can only be read by changing it, for every thread at once: the
    // kernel tells it in the process's status instead (Linux 4.7 and later).
    processUmask = -1;
    const int fd = openRetrying("/proc/self/status", O_RDONLY);
    if (fd < 0)
        return processUmask;
    char text[4096];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return processUmask;
    text[n] = '\0';
    if (const char* line = std::strstr(text, "\nUmask:"))
        processUmask = static_cast<int>(std::strtol(line + 7, nullptr, 8) & 0777);
    return processUmask;
}

bool OutputFile::createOverwrite()
{
    _route = Route::Overwrite;
    // Nothing is prepared for a file that could not be written in the end.
    struct stat st;
    if (::faccessat(AT_FDCWD, _target.c_str(), W_OK, AT_EACCESS) != 0 || !statPath(_target, st))
        return fail();
    _targetDevice = st.st_dev;
    _targetInode = st.st_ino;
    const std::string dir = tempDirectory();
    _fd = dir.empty() ? -1 : createUniqueFile(dir, "kr2", 0600, _temporary);
    _empty = _fd >= 0;
    return _fd >= 0;
}

bool OutputFile::commitBeside(bool sync)
{
    // The owner and group were given at the creation, while the file was
    // empty; a new target got its permissions then too. A file without
    // extended attributes has no ACL either: one look says so.
    bool ok = true;
    bool changed = true;
    if (_targetExisted) {
        struct stat old {};
        old.st_mode = _oldMode;
        if (::llistxattr(_target.c_str(), nullptr, 0) != 0)
            ok = takeOverMetadata(_target, old, _temporary, _fd) || fail();
        else if (!_modeGiven)
            ok = ::fchmod(_fd, _oldMode) == 0 || fail();
        else
            changed = false;
    } else if (_permissionsSet) {
        ok = ::fchmod(_fd, _permissions) == 0 || fail();
    } else {
        changed = false;
    }
    const StepHook hook = stepHook.load();
    if (_synced) {
        // The content went to disk with the others'; what changed since is
        // the file's own metadata.
        if (ok && changed)
            ok = ::fsync(_fd) == 0 || fail();
    } else if (ok && hook) {
        hook(Step::Write, _temporary, {});
    }
    if (ok && sync && !_synced) {
        const SkipSync skip = skipDataSync.load();
        if (!(skip && skip(_temporary))) {
            ok = ::fdatasync(_fd) == 0 || fail();
            if (ok && hook)
                hook(Step::SyncData, _temporary, {});
        }
    }
    ok = (::close(_fd) == 0 || fail()) && ok;
    _fd = -1;
    if (ok)
        ok = renameOver() || fail();
    if (ok) {
        if (hook)
            hook(Step::Rename, _temporary, _target);
        _temporary.clear();
        _renamed = true;
    }
    return ok;
}

std::atomic<bool> noRenameNoReplace { false };

bool OutputFile::renameOver()
{
    if (_replaceExisting || _targetExisted)
        return ::rename(_temporary.c_str(), _target.c_str()) == 0;
    if (!noRenameNoReplace.load()) {
        if (::renameat2(AT_FDCWD, _temporary.c_str(), AT_FDCWD, _target.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno != EINVAL && errno != ENOSYS)
            return false;
    }
    // A file system (EINVAL) or kernel (ENOSYS) that cannot rename without
    // replacing: a link refuses an existing name just as atomically. A stray
    // second name for the new file would be harmless; the target is right.
    if (::link(_temporary.c_str(), _target.c_str()) == 0) {
        ::unlink(_temporary.c_str());
        return true;
    }
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
        return false;
    // Neither (FAT, some FUSE file systems): look once more, then rename.
    struct stat st;
    if (::lstat(_target.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return errno == ENOENT && ::rename(_temporary.c_str(), _target.c_str()) == 0;
}

bool OutputFile::commitOverwrite()
{
    // The new content is complete and on disk before the target is touched.
    struct stat st, now;
    if (::fdatasync(_fd) != 0 || ::fstat(_fd, &st) != 0)
        return fail();
    const auto size = static_cast<std::uint64_t>(st.st_size);
    // O_NONBLOCK turns waiting on another's read lease into EAGAIN: wait then.
    int target = openRetrying(_target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK);
    if (target < 0 && errno == EAGAIN)
        target = openRetrying(_target.c_str(), O_WRONLY | O_NOFOLLOW);
    bool ok = target >= 0 && ::fstat(target, &now) == 0 && S_ISREG(now.st_mode) && now.st_dev == _targetDevice
        && now.st_ino == _targetInode;
    // Room for the new content is reserved first, so that a full disk fails
    // the call here, with the target as it was.
    if (ok && size > 0 && ::fallocate(target, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0)
        ok = errno == EOPNOTSUPP || errno == ENOSYS;
    if (!ok) {
        fail();
        closeFd(target);
        return false;
    }
    // From here the target changes. Should this fail, or the process die, the
    // whole new content stays in the temporary directory to copy again.
    ok = copyContent(_fd, target, size, false)
        && ((::ftruncate(target, static_cast<off_t>(size)) == 0 && ::fdatasync(target) == 0) || fail());
    ok = (::close(target) == 0 || fail()) && ok;
    if (!ok)
        _temporary.clear();
    return ok;
}

} // namespace korv::platform
