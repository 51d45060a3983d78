// Copies on POSIX, done by the kernel where it can: a reflink, then
// copy_file_range, then plain reads and writes.
#include "inputfile_p.h"
#include "outputfile_p.h"
#include "platform_p.h"
#include "posix_p.h"

#include "cancel_p.h"

#include <algorithm>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace korv::platform::posix {

namespace {

// A kernel copy is done this many bytes at a time, so a cancel is seen.
constexpr std::uint64_t kCopyStep = 64 << 20;

} // namespace

// Copies every byte of in to out, letting the kernel do the work: a reflink
// where the filesystem shares extents, copy_file_range otherwise, and plain
// reads and writes as the last resort. A cancellable copy stops when the
// caller asks; one that overwrites a file in place goes on to the end.
bool copyContent(int in, int out, std::uint64_t size, bool cancellable)
{
    if (size > 0 && ::ioctl(out, FICLONE, in) == 0)
        return true;
    std::uint64_t done = 0;
    bool kernelCopy = true;
    while (kernelCopy && done < size) {
        if (cancellable && cancelRequested())
            return false;
        // An explicit offset: the copy never depends on where in's file position is.
        loff_t from = static_cast<loff_t>(done);
        const auto step = static_cast<std::size_t>(std::min(size - done, kCopyStep));
        ssize_t n = ::copy_file_range(in, &from, out, nullptr, step, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL))
            kernelCopy = false;
        else if (n < 0)
            return fail();
        else if (n == 0)
            return done == size || fail(kFileChanged);
        else
            done += static_cast<std::uint64_t>(n);
    }
    if (done == size)
        return true;
    char buffer[1 << 16];
    for (;;) {
        if (cancellable && cancelRequested())
            return false;
        ssize_t n = ::pread(in, buffer, sizeof buffer, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail();
        if (n == 0)
            return true;
        if (!writeAll(out, buffer, static_cast<std::size_t>(n)))
            return false;
        done += static_cast<std::uint64_t>(n);
    }
}

} // namespace korv::platform::posix

namespace korv::platform {

using namespace posix;

bool copyFile(const std::string& source, const std::string& target, WriteMode mode)
{
    InputFile in;
    return in.open(source) && copyFile(in, target, mode);
}

unsigned copyPermissions(const InputFile& source)
{
    struct stat st;
    if (source._fd < 0 || ::fstat(static_cast<int>(source._fd), &st) != 0)
        return 0;
    return st.st_mode & kPermissionBits;
}

bool copyFile(const InputFile& source, const std::string& target, WriteMode mode)
{
    struct stat st, targetSt;
    if (source._fd < 0 || ::fstat(source._fd, &st) != 0)
        return false;
    if (statPath(target, targetSt) && targetSt.st_dev == st.st_dev && targetSt.st_ino == st.st_ino)
        return true;
    if (mode == WriteMode::Replace && exists(target) && isReadOnly(target))
        return false;
    OutputFile out;
    // Set first: a new target's file is made with the system's permissions
    // otherwise, and the source's may be stricter.
    out.setPermissions(copyPermissions(source));
    if (!out.create(target, mode) || !copyInto(source, out))
        return false;
    return out.commit(false);
}

bool copyInto(const InputFile& source, OutputFile& out)
{
    struct stat st;
    if (source._fd < 0 || out._fd < 0 || out._failed || out._map || ::fstat(source._fd, &st) != 0)
        return false;
    out._empty = false;
    if (out._route == OutputFile::Route::Into) {
        // Through write(), which keeps a pipe's reader going away from raising SIGPIPE.
        char buffer[1 << 16];
        for (std::uint64_t done = 0; !out._failed;) {
            if (cancelRequested())
                return false;
            const std::size_t n = readAt(source._fd, buffer, sizeof buffer, done);
            if (n == 0)
                break;
            out.write(buffer, n);
            done += n;
        }
        return !out._failed;
    }
    if (!copyContent(source._fd, out._fd, static_cast<std::uint64_t>(st.st_size)))
        out._failed = true;
    else
        out._size = static_cast<std::uint64_t>(st.st_size);
    return !out._failed;
}

} // namespace korv::platform
