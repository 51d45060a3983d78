// Reading a file on POSIX: whole into memory, mapped under a read lease, or
// a piece at a time.
#include "inputfile_p.h"
#include "outputfile_p.h"
#include "platform_p.h"
#include "posix_p.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

namespace korv::platform {

using namespace posix;

namespace {

// From this size on a file is worth mapping under a lease rather than copying.
constexpr std::uint64_t kLeaseMapFrom = 1 << 20;

// A read lease: while it is held, another process that opens the file for
// writing or truncates it waits until it is given back, and none is granted
// while the file is open for writing anywhere. So a mapped file cannot
// shrink under the caller, which would raise SIGBUS. The kernel signals a
// lease's owner when another process starts waiting; the owner is cleared
// at once, and SIGURG (ignored unless a program handles it) stands in for
// the default SIGIO, which would end the process, in the moment before.
bool takeReadLease(int fd)
{
    if (::fcntl(fd, F_SETSIG, SIGURG) != 0 || ::fcntl(fd, F_SETLEASE, F_RDLCK) != 0)
        return false;
    (void)::fcntl(fd, F_SETOWN, 0);
    return true;
}

} // namespace

bool InputFile::unchangedAt(std::intptr_t fd) const
{
    struct stat st, readSt;
    if (::fstat(fd, &st) != 0 || ::fstat(_fd, &readSt) != 0)
        return fail();
    return isRegular(st)
        && ((st.st_dev == readSt.st_dev && st.st_ino == readSt.st_ino
                && static_cast<std::uint64_t>(st.st_size) == _size && modificationTime(st) == _modified)
            || fail(kFileChanged));
}

void InputFile::close()
{
    unmapLeased();
    _buffer.reset();
    _data = nullptr;
    closeFd(_fd);
}

bool InputFile::openFile(const std::string& path, bool refuseLinks, PathFacts& facts)
{
    // O_NONBLOCK keeps a FIFO from blocking the open; such files are refused below.
    _fd = openRetrying(path.c_str(), O_RDONLY | O_NONBLOCK | (refuseLinks ? O_NOFOLLOW : 0));
    if (_fd < 0)
        return fail();
    struct stat st;
    if ((::fstat(_fd, &st) != 0 && !fail()) || !isRegular(st)) {
        closeFd(_fd);
        return false;
    }
    _size = static_cast<std::uint64_t>(st.st_size);
    _modified = modificationTime(st);
    _device = st.st_dev;
    _inode = st.st_ino;
    takeFacts(st, facts);
    return true;
}

bool InputFile::mapLeased(long breakSeconds)
{
    // A lease that the kernel breaks at once (lease-break-time 0) is no use.
    if (_fd < 0 || _data || _size < kLeaseMapFrom || _size > SIZE_MAX)
        return false;
    const long seconds = breakSeconds;
    if (seconds < 1 || !takeReadLease(_fd))
        return false;
    const auto n = static_cast<std::size_t>(_size);
    // With the lease held the size can no longer change; it must still be
    // the one callers have decided on.
    struct stat st;
    void* p = MAP_FAILED;
    if (::fstat(_fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) == _size)
        p = ::mmap(nullptr, n, PROT_READ, MAP_SHARED, _fd, 0);
    // Faulting every page in now makes a read error a failure here rather
    // than a SIGBUS in the decoder.
    if (p != MAP_FAILED && ::madvise(p, n, MADV_POPULATE_READ) != 0) {
        ::munmap(p, n);
        p = MAP_FAILED;
    }
    if (p == MAP_FAILED) {
        (void)::fcntl(_fd, F_SETLEASE, F_UNLCK);
        return false;
    }
    _leasedMap = p;
    _leaseSeconds = seconds;
    _data = static_cast<const std::uint8_t*>(p);
    return true;
}

void InputFile::unmapLeased()
{
    if (!_leasedMap)
        return;
    ::munmap(_leasedMap, static_cast<std::size_t>(_size));
    (void)::fcntl(_fd, F_SETLEASE, F_UNLCK);
    _leasedMap = nullptr;
    _leaseSeconds = 0;
    _data = nullptr;
}

std::size_t InputFile::read(std::uint64_t offset, void* buffer, std::size_t n) const
{
    return _fd < 0 ? 0 : readAt(_fd, buffer, n, offset);
}

} // namespace korv::platform
