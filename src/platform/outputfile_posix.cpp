// OutputFile on POSIX: creating new content for a target, writing and
// mapping it, dropping it, and the routes that need no replacing: straight
// into a device or FIFO, or into a working copy of our own.
// outputfile_replace_posix.cpp holds the routes that replace a file.
#include "inputfile_p.h"
#include "outputfile_p.h"
#include "platform_p.h"
#include "posix_p.h"
#include "paths_p.h"
#include "testhooks_p.h"

#include "cancel_p.h"

#include <algorithm>
#include <climits>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace korv::platform {

using namespace posix;

namespace {

// What a temporary name adds to the target's: ".", ".korv-" and ten characters.
constexpr std::size_t kTemporaryNameExtra = 1 + 6 + 10;

// Faults the pages of [p, p + n) in, writable: the kernel zeroes each new
// page-cache page and reserves its block here, and reports a failure as an
// error where a store into the mapping would raise SIGBUS. Done in one
// pass ahead of the decoder, the faults cost less than taken one by one.
bool populateWritable(std::uint8_t* p, std::size_t n)
{
    for (std::size_t done = 0; done < n; done += kPrefaultStep) {
        if (::madvise(p + done, std::min(kPrefaultStep, n - done), MADV_POPULATE_WRITE) != 0)
            return false;
    }
    return true;
}

} // namespace

void OutputFile::unmapAll()
{
    if (_map)
        ::munmap(_map, _mapSize);
    _map = nullptr;
}

void OutputFile::discard()
{
    unmapAll();
    // Content that was not committed is dropped: a working copy is emptied so
    // that no partial content is left in it.
    if (_fd >= 0 && _route == Route::WorkingCopy && !_empty)
        (void)::ftruncate(_fd, 0);
    closeFd(_fd);
    if (!_temporary.empty())
        ::unlink(_temporary.c_str());
    _temporary.clear();
}

bool OutputFile::create(const std::string& target, const PathFacts& facts, WriteMode mode, NewFileFacts* learnt)
{
    _mode = mode;
    _route = mode == WriteMode::WorkingCopy ? Route::WorkingCopy : Route::Beside;
    _target = target;
    _renamed = false;
    _size = 0;
    // What the path names, every link resolved by the kernel, /proc/self/fd
    // ones too (which name a pipe, not a path).
    const bool exists = facts.exists;
    if (exists && facts.directory)
        return fail(kNotRegularFile);
    if (mode == WriteMode::WorkingCopy) {
        // A working copy is our own: a link planted in its place is not followed.
        _fd = openRetrying(_target.c_str(), O_RDWR | O_NOFOLLOW);
        if (_fd < 0)
            fail();
        else if (!truncateToEmpty(_fd) && !fail())
            closeFd(_fd);
        _empty = _fd >= 0;
        return _fd >= 0;
    }
    if (exists && !facts.regular)
        return createInto(target);
    if (facts.link && !followLinks(_target))
        return fail(ELOOP);
    // A new file would leave the old content under the file's other names.
    if (exists && facts.links > 1)
        return createOverwrite();
    // The name beside the target is ".<name>.korv-" and ten random characters,
    // with <name> cut short where that would exceed the longest legal name.
    // Replacing a file: only its owner may open the new one until the commit
    // gives it the old one's permissions. A new file gets what the system
    // gives any new file there (the umask, or the directory's default ACL)
    // unless the caller set permissions of its own.
    _targetExisted = exists;
    _oldMode = facts.mode;
    _device = exists ? facts.device : 0;
    _synced = false;
    const std::string dir = directoryOf(_target);
    NewFileFacts::Private::Directory* known = exists && learnt ? learnt->d->find(dir) : nullptr;
    // A file whose owner and group a new file here gets anyway, in a
    // directory that hands down no ACL, has the old file's permissions from
    // the start: nobody may read it who may not read the old one.
    const bool ours = known && known->owner == facts.owner && known->group == facts.group;
    mode_t createMode = exists || _permissionsSet ? 0600 : 0666;
    const int umask = ours && !known->inheritsAcl && (facts.mode & ~0777u) == 0 ? learnt->d->umask() : -1;
    if (umask >= 0)
        createMode = facts.mode;
    _modeGiven = umask >= 0 && (facts.mode & static_cast<unsigned>(umask)) == 0;
    const std::string name = fileNameOf(_target).substr(0, NAME_MAX - kTemporaryNameExtra);
    _fd = createUniqueFile(dir, "." + name + ".korv-", createMode, _temporary);
    if (_fd < 0)
        return exists && (errno == EACCES || errno == EPERM) && createOverwrite();
    if (const StepHook hook = stepHook.load())
        hook(Step::Create, _temporary, {});
    if (exists && !ours) {
        struct stat old {}, mine {};
        old.st_uid = facts.owner;
        old.st_gid = facts.group;
        if (known) {
            mine.st_uid = known->owner;
            mine.st_gid = known->group;
        }
        if (!takeOverOwnership(_fd, old, mine, known != nullptr)) {
            discard();
            return createOverwrite();
        }
        if (learnt && !known)
            learnt->d->learn(dir, mine);
    }
    _empty = true;
    return true;
}

bool OutputFile::createInto(const std::string& target)
{
    _route = Route::Into;
    // Opened by the path as given, so that the kernel resolves /dev/stdout;
    // never truncated, which means nothing for a device or FIFO. A FIFO's
    // open waits for its reader.
    _fd = openRetrying(target.c_str(), O_WRONLY | O_NOCTTY);
    struct stat st;
    if (_fd < 0)
        fail();
    // A regular file put there since would be overwritten without being cut.
    else if (::fstat(_fd, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
        fail(kNotRegularFile);
        closeFd(_fd);
    }
    _empty = _fd >= 0;
    return _fd >= 0;
}


bool OutputFile::createWorkingCopy()
{
    discard();
    _mode = WriteMode::WorkingCopy;
    _route = Route::WorkingCopy;
    _target.clear();
    _failed = false;
    // An empty directory (one that does not exist) must not turn into the root.
    bool fresh = false;
    const std::string* directory = &temporaryDirectory(false, &fresh);
    _fd = directory->empty() ? -1 : createUniqueFile(*directory, "kr2", 0600, _target);
    if (_fd < 0 && !fresh && (errno == ENOENT || errno == ENOTDIR)) {
        directory = &temporaryDirectory(true);
        _fd = directory->empty() ? -1 : createUniqueFile(*directory, "kr2", 0600, _target);
    }
    _empty = _fd >= 0;
    return _fd >= 0;
}

bool OutputFile::write(const void* data, std::size_t n)
{
    if (n > 0)
        _empty = false;
    const bool ok = _fd >= 0 && !_failed
        && (_route == Route::Into ? writeAllWithoutSigpipe(_fd, data, n) : writeAll(_fd, data, n));
    if (!ok)
        _failed = true;
    else
        _size += n;
    return !_failed;
}

bool OutputFile::writeAt(std::uint64_t offset, const void* data, std::size_t n)
{
    if (!_failed && !writeAll(_fd, data, n, static_cast<std::int64_t>(offset)))
        _failed = true;
    else if (!_failed)
        _size = std::max<std::uint64_t>(_size, offset + n);
    return !_failed;
}

std::uint8_t* OutputFile::map(std::size_t n)
{
    // A device or FIFO takes its bytes in order, through write().
    if (_fd < 0 || _failed || n == 0 || _map || _route == Route::Into)
        return nullptr;
    _empty = false;
    if (::ftruncate(_fd, static_cast<off_t>(n)) != 0)
        return nullptr;
    // Reserving the blocks first turns a full disk into an error here rather
    // than a SIGBUS on a store; a filesystem that cannot reserve them gets
    // every page faulted in, and checked, before the caller writes.
    bool reserved = ::fallocate(_fd, 0, 0, static_cast<off_t>(n)) == 0;
    if (!reserved && errno != EOPNOTSUPP && errno != ENOSYS) {
        (void)::ftruncate(_fd, 0);
        return nullptr;
    }
    void* p = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED, _fd, 0);
    if (p == MAP_FAILED) {
        (void)::ftruncate(_fd, 0);
        return nullptr;
    }
    _map = static_cast<std::uint8_t*>(p);
    _mapSize = n;
    (void)::madvise(_map, n, MADV_HUGEPAGE);
    // A kernel without MADV_POPULATE_WRITE (EINVAL) faults the pages in on
    // demand, which is safe where the blocks are reserved.
    if (!populateWritable(_map, n) && !(reserved && errno == EINVAL)) {
        unmapAll();
        (void)::ftruncate(_fd, 0);
        return nullptr;
    }
    return _map;
}

bool OutputFile::unmap(std::size_t used)
{
    if (!_map)
        return false;
    unmapAll();
    if (::ftruncate(_fd, static_cast<off_t>(used)) != 0
        || ::lseek(_fd, static_cast<off_t>(used), SEEK_SET) < 0)
        _failed = !fail();
    _empty = used == 0 && !_failed;
    _size = used;
    return !_failed;
}

bool OutputFile::reset()
{
    unmapAll();
    if (_fd >= 0 && _empty) {
        _failed = false;
        return true;
    }
    // Bytes a device or FIFO has taken cannot be taken back.
    _failed = _fd < 0 || _route == Route::Into || !truncateToEmpty(_fd) || ::lseek(_fd, 0, SEEK_SET) < 0;
    if (_failed && _fd >= 0 && _route != Route::Into)
        fail();
    _empty = !_failed;
    _size = 0;
    return !_failed;
}

void OutputFile::setPermissions(unsigned mode)
{
    _permissions = mode & kPermissionBits;
    _permissionsSet = true;
}

bool OutputFile::closeNow()
{
    const bool ok = ::close(static_cast<int>(_fd)) == 0 || fail();
    _fd = -1;
    return ok;
}

} // namespace korv::platform
