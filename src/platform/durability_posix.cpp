// Making new content durable on POSIX: writeback started early, directory
// entries synced; and the seams of the power-loss check.
#include "outputfile_p.h"
#include "platform_p.h"
#include "posix_p.h"
#include "testhooks_p.h"

#include <fcntl.h>
#include <unistd.h>

namespace korv::platform {

using namespace posix;

std::atomic<StepHook> stepHook { nullptr };
std::atomic<SkipSync> skipDataSync { nullptr };

void OutputFile::startWriteback()
{
    // Only a hint to the kernel: the commit's fdatasync is what guarantees.
    if (_fd >= 0 && !_failed && !_map && (_route == Route::Beside || _route == Route::Overwrite))
        (void)::sync_file_range(_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool syncDirectory(const std::string& path)
{
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
