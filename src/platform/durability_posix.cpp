// Making new content durable on POSIX: writeback started early, files
// synced together where a file system allows it, directory entries synced.
#include "outputfile_p.h"
#include "platform_p.h"
#include "posix_p.h"
#include "testhooks_p.h"

#include <cstdio>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/utsname.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace korv::platform {

using namespace posix;

std::atomic<int> directorySyncFault { 0 };

void OutputFile::startWriteback()
{
    // Only a hint to the kernel: the commit's fdatasync is what guarantees.
    if (_fd >= 0 && !_failed && !_map && (_route == Route::Beside || _route == Route::Overwrite))
        (void)::sync_file_range(_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void OutputFile::syncTogether(const std::vector<OutputFile*>& files)
{
    // Syncing a file costs a cache flush of the disk (and, without a
    // journal, a write of its inode) apiece; syncfs writes them all and
    // flushes once. It also writes what others have pending on that file
    // system, so it is worth it only for a group.
    constexpr std::size_t kGroup = 4;
    const SkipSync skip = skipDataSync.load();
    std::vector<OutputFile*> group;
    for (OutputFile* f : files) {
        if (f->_fd < 0 || f->_failed || f->_map || f->_route != Route::Beside || f->_device == 0
            || (skip && skip(f->_temporary)))
            continue;
        if (group.empty() || f->_device == group.front()->_device)
            group.push_back(f);
    }
    static const bool reliable = [] {
        struct utsname u;
        return ::uname(&u) == 0 && syncfsReportsErrors(u.release);
    }();
    if (!reliable || group.size() < kGroup)
        return;
    // Only where syncfs ends with the disk's cache flushed, as fdatasync
    // does. Elsewhere it may not: FUSE (ntfs-3g, sshfs) never hears of it,
    // FAT and exFAT write without a flush. On failure each file syncs its
    // own and learns its own error.
    const int fd = static_cast<int>(group.front()->_fd);
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0 || !syncfsFlushes(static_cast<unsigned long>(fs.f_type)) || ::syncfs(fd) != 0)
        return;
    const StepHook hook = stepHook.load();
    for (OutputFile* f : group) {
        f->_synced = true;
        if (hook) {
            hook(Step::Write, f->_temporary, {});
            hook(Step::SyncData, f->_temporary, {});
        }
    }
}

bool posix::syncfsReportsErrors(const char* release)
{
    unsigned major = 0, minor = 0;
    if (std::sscanf(release, "%u.%u", &major, &minor) != 2)
        return false;
    return major > 5 || (major == 5 && minor >= 8);
}

bool posix::syncfsFlushes(unsigned long fileSystemType)
{
    // ext2 and ext3 too, which the ext4 driver runs.
    return fileSystemType == EXT4_SUPER_MAGIC || fileSystemType == XFS_SUPER_MAGIC
        || fileSystemType == BTRFS_SUPER_MAGIC;
}

bool syncDirectory(const std::string& path)
{
    if (const int fault = directorySyncFault.load())
        return fail(fault);
    int fd = openRetrying(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return fail();
    // Some file systems cannot sync a directory (EINVAL): their entries are
    // as durable as they get.
    bool ok = ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS || fail();
    closeFd(fd);
    if (ok) {
        if (const StepHook hook = stepHook.load())
            hook(Step::SyncDirectory, path, {});
    }
    return ok;
}

} // namespace korv::platform
