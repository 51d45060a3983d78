// OutputFile's routes that replace a regular file on POSIX: a new file
// beside the target renamed over it, or content prepared in the temporary
// directory and copied into the target itself.
#include "inputfile_p.h"
#include "outputfile_p.h"
#include "platform_p.h"
#include "posix_p.h"
#include "paths_p.h"
#include "testhooks_p.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace korv::platform {

using namespace posix;

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
    if (_targetExisted) {
        struct stat old {};
        old.st_mode = _oldMode;
        if (::llistxattr(_target.c_str(), nullptr, 0) != 0)
            ok = takeOverMetadata(_target, old, _temporary, _fd) || fail();
        else
            ok = ::fchmod(_fd, _oldMode) == 0 || fail();
    } else if (_permissionsSet) {
        ok = ::fchmod(_fd, _permissions) == 0 || fail();
    }
    const StepHook hook = stepHook.load();
    if (ok && hook)
        hook(Step::Write, _temporary, {});
    if (ok && sync) {
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
        ok = ::rename(_temporary.c_str(), _target.c_str()) == 0 || fail();
    if (ok) {
        if (hook)
            hook(Step::Rename, _temporary, _target);
        _temporary.clear();
        _renamed = true;
    }
    return ok;
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
