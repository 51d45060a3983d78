// File descriptors on POSIX: opening, the one retry loop of reads and
// writes, unique names, links followed.
#include "posix_p.h"

#include "cancel_p.h"
#include "paths_p.h"
#include "platform_p.h"

#include <climits>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace korv::platform::posix {

bool fail(int error)
{
    return failWith(error);
}

bool statPath(const std::string& path, struct stat& st)
{
    return ::stat(path.c_str(), &st) == 0;
}

int openRetrying(const char* path, int flags, mode_t mode)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR && !cancelRequested());
    return fd;
}

bool writeAll(int fd, const void* data, std::size_t n, std::int64_t offset)
{
    auto p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = offset < 0 ? ::write(fd, p, n) : ::pwrite(fd, p, n, static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR && !cancelRequested())
            continue;
        if (w <= 0)
            return fail(w < 0 ? errno : ENOSPC);
        p += w;
        n -= static_cast<std::size_t>(w);
        if (offset >= 0)
            offset += w;
    }
    return true;
}

// raise SIGPIPE, which would end the calling program.
bool writeAllWithoutSigpipe(int fd, const void* data, std::size_t n)
{
    sigset_t pipe, old, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, &old);
    const bool wasPending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    const bool ok = writeAll(fd, data, n);
    if (!ok && errno == EPIPE && !wasPending) {
        const struct timespec now {
        };
        while (::sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) { }
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

// Reads up to n bytes at offset; fewer only at the end of the file (callers
// ask for no more than they found there: kFileChanged) or on an error.
std::size_t readAt(int fd, void* buffer, std::size_t n, std::uint64_t offset)
{
    std::size_t done = 0;
    while (done < n) {
        ssize_t r
            = ::pread(fd, static_cast<char*>(buffer) + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            fail(r < 0 ? errno : kFileChanged);
            break;
        }
        done += static_cast<std::size_t>(r);
    }
    return done;
}

// Opens a file of the caller's to change it. O_NONBLOCK keeps a FIFO from
// blocking the open. It also turns waiting for a read lease (a decrypt
// mapping the file) into EAGAIN, which only a regular file gives: that wait
// is short, so the open waits for it.
int openForChange(const std::string& path, int flags)
{
    int fd = openRetrying(path.c_str(), flags | O_NONBLOCK);
    if (fd < 0 && errno == EAGAIN)
        fd = openRetrying(path.c_str(), flags);
    if (fd < 0)
        fail();
    return fd;
}

bool isRegular(const struct stat& st)
{
    return S_ISREG(st.st_mode) || fail(kNotRegularFile);
}

std::int64_t modificationTime(const struct stat& st)
{
    return std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Empties a file, leaving an empty one alone: on ext4 a truncation to zero
// makes the next close start writeback, which costs a fresh working copy
// more than everything else it does.
bool truncateToEmpty(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size == 0)
        return true;
    return ::ftruncate(fd, 0) == 0;
}

// Creates a new file with an unpredictable name in dir; the name starts with
// prefix. The kernel applies the umask to mode, as for any new file.
int createUniqueFile(const std::string& dir, const std::string& prefix, mode_t mode, std::string& name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = uniqueCandidate(dir, prefix);
        int fd = openRetrying(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
        if (fd >= 0) {
            name = candidate;
            return fd;
        }
        if (errno != EEXIST)
            return fail(), -1;
    }
    return fail(EEXIST), -1;
}

// The file a write to path really lands in: symbolic links on the last
// component are followed, so replacing the content keeps the link. False for
// a link that cannot be resolved (a loop, say): writing there would replace
// the link itself.
bool followLinks(std::string& path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return true;
        char buffer[PATH_MAX];
        ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
        if (n <= 0 || n == ssize_t(sizeof buffer))
            return false;
        std::string link(buffer, static_cast<std::size_t>(n));
        path = link.front() == '/' ? link : directoryOf(path) + "/" + link;
    }
    return false;
}

} // namespace korv::platform::posix
