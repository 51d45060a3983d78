// Linux implementation of the platform interface: permission bits, atomic
// replacement through a file beside the target, kernel-side file copies,
// output files mapped and faulted in ahead of the code that fills them.
#include "platform_p.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <random>

#include <QByteArray>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korv::platform {

namespace {

constexpr mode_t kOwnerWrite = S_IWUSR;
constexpr mode_t kPermissionBits = 07777;
// What a temporary name adds to the target's: ".", ".korv-" and ten characters.
constexpr std::size_t kTemporaryNameExtra = 1 + 6 + 10;
// Files up to this size are read whole when their first bytes are asked for.
constexpr std::uint64_t kReadWholeOnPeek = 64 << 10;
// From this size on a file is worth mapping under a lease rather than copying.
constexpr std::uint64_t kLeaseMapFrom = 1 << 20;

bool statPath(const std::string& path, struct stat& st)
{
    return ::stat(path.c_str(), &st) == 0;
}

int openRetrying(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool writeAll(int fd, const void* data, std::size_t n)
{
    auto p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Reads up to n bytes at offset; fewer only at the end of the file or on an
// error.
std::size_t readAt(int fd, void* buffer, std::size_t n, std::uint64_t offset)
{
    std::size_t done = 0;
    while (done < n) {
        ssize_t r
            = ::pread(fd, static_cast<char*>(buffer) + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        done += static_cast<std::size_t>(r);
    }
    return done;
}

std::string directoryOf(const std::string& path)
{
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string fileNameOf(const std::string& path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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

// Creates a new file with an unpredictable name in dir; the name starts with
// prefix. The kernel applies the umask to mode, as for any new file.
int createUniqueFile(const std::string& dir, const std::string& prefix, mode_t mode, std::string& name)
{
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 random { std::random_device {}() };
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = dir + "/" + prefix;
        for (int i = 0; i < 10; ++i)
            candidate += alphabet[random() % (sizeof alphabet - 1)];
        int fd = openRetrying(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
        if (fd >= 0) {
            name = candidate;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// Copies every byte of in to out, letting the kernel do the work: a reflink
// where the filesystem shares extents, copy_file_range otherwise, and plain
// reads and writes as the last resort.
bool copyContent(int in, int out, std::uint64_t size)
{
    if (size > 0 && ::ioctl(out, FICLONE, in) == 0)
        return true;
    std::uint64_t done = 0;
    bool kernelCopy = true;
    while (kernelCopy && done < size) {
        // An explicit offset: the copy never depends on where in's file position is.
        loff_t from = static_cast<loff_t>(done);
        ssize_t n = ::copy_file_range(in, &from, out, nullptr, size - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL))
            kernelCopy = false;
        else if (n <= 0)
            return n == 0 && done == size;
        else
            done += static_cast<std::uint64_t>(n);
    }
    if (done == size)
        return true;
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::pread(in, buffer, sizeof buffer, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!writeAll(out, buffer, static_cast<std::size_t>(n)))
            return false;
        done += static_cast<std::uint64_t>(n);
    }
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

long leaseBreakSeconds()
{
    int fd = openRetrying("/proc/sys/fs/lease-break-time", O_RDONLY);
    if (fd < 0)
        return 0;
    char text[32];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    return std::strtol(text, nullptr, 10);
}

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

std::atomic<RemoveFault> removeFault { nullptr };

namespace {

// TMPDIR's bytes as they are, or /tmp.
std::string tempDirectoryVariable()
{
    QByteArray dir = qgetenv("TMPDIR");
    return dir.isEmpty() ? std::string("/tmp") : dir.toStdString();
}

std::string canonicalDirectory(const std::string& dir)
{
    char* canonical = ::realpath(dir.c_str(), nullptr);
    if (!canonical)
        return {};
    std::string result = canonical;
    std::free(canonical);
    struct stat st;
    return statPath(result, st) && S_ISDIR(st.st_mode) ? result : std::string();
}

} // namespace

std::string tempDirectory()
{
    // QDir::tempPath() reads TMPDIR as UTF-8 and loses any other name. Made
    // canonical as Qt does; empty when TMPDIR names no directory.
    return canonicalDirectory(tempDirectoryVariable());
}

RemoveResult removeFile(const std::string& path)
{
    const RemoveFault fault = removeFault.load();
    if (fault && fault(path))
        return RemoveResult::Failed;
    if (::unlink(path.c_str()) == 0)
        return RemoveResult::Removed;
    // A path that names nothing, or runs through a non-directory, is gone.
    return errno == ENOENT || errno == ENOTDIR ? RemoveResult::Missing : RemoveResult::Failed;
}

bool appendToFile(const std::string& path, std::uint64_t expectedSize, const void* data, std::size_t n)
{
    // O_NONBLOCK keeps a FIFO from blocking the open. It also turns waiting
    // for a read lease (a decrypt mapping the file) into EAGAIN, which only
    // a regular file gives: that wait is short, so the open waits for it.
    int fd = openRetrying(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK);
    if (fd < 0 && errno == EAGAIN)
        fd = openRetrying(path.c_str(), O_WRONLY | O_APPEND);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)
        && static_cast<std::uint64_t>(st.st_size) == expectedSize;
    if (ok && !writeAll(fd, data, n)) {
        ok = false;
        (void)::ftruncate(fd, st.st_size);
    }
    return ::close(fd) == 0 && ok;
}

int lastError()
{
    return errno;
}

std::string errorText(int error)
{
    return std::strerror(error);
}

bool isReadOnly(const std::string& path)
{
    struct stat st;
    return statPath(path, st) && (st.st_mode & kOwnerWrite) == 0;
}

bool clearReadOnly(const std::string& path)
{
    struct stat st;
    if (!statPath(path, st))
        return false;
    if (st.st_mode & kOwnerWrite)
        return true;
    return ::chmod(path.c_str(), (st.st_mode & kPermissionBits) | kOwnerWrite) == 0;
}

bool setReadOnly(const std::string& path)
{
    struct stat st;
    return statPath(path, st) && ::chmod(path.c_str(), (st.st_mode & kPermissionBits) & ~kOwnerWrite) == 0;
}

bool sameFile(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    return statPath(a, sa) && statPath(b, sb) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool exists(const std::string& path)
{
    struct stat st;
    return statPath(path, st);
}

bool makeDirectory(const std::string& path)
{
    return ::mkdir(path.c_str(), 0777) == 0;
}

bool copyFile(const std::string& source, const std::string& target, WriteMode mode)
{
    InputFile in;
    return in.open(source) && copyFile(in, target, mode);
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
    if (!out.create(target, mode) || !copyInto(source, out))
        return false;
    if (mode == WriteMode::Replace) {
        if (::fchmod(out._fd, st.st_mode & kPermissionBits) != 0)
            return false;
        out._permissionsSet = true;
    }
    return out.commit(false);
}

bool copyInto(const InputFile& source, OutputFile& out)
{
    struct stat st;
    if (source._fd < 0 || out._fd < 0 || out._failed || out._map || ::fstat(source._fd, &st) != 0)
        return false;
    out._empty = false;
    if (!copyContent(source._fd, out._fd, static_cast<std::uint64_t>(st.st_size)))
        out._failed = true;
    return !out._failed;
}

InputFile::~InputFile()
{
    close();
}

void InputFile::close()
{
    unmapLeased();
    _buffer.reset();
    _data = nullptr;
    closeFd(_fd);
}

bool InputFile::open(const std::string& path)
{
    // O_NONBLOCK keeps a FIFO from blocking the open; such files are refused below.
    _fd = openRetrying(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (_fd < 0)
        return false;
    struct stat st { };
    if (::fstat(_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        closeFd(_fd);
        errno = error;
        return false;
    }
    _size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

std::size_t InputFile::peek(void* buffer, std::size_t n)
{
    // Never more than the size the file had when opened: that is what map() covers.
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, _size));
    // One read instead of two for a small file, which is most of the cost
    // of a working copy.
    if (_size <= kReadWholeOnPeek && map()) {
        if (n > 0)
            std::memcpy(buffer, _data, n);
        return n;
    }
    return readAt(_fd, buffer, n, 0);
}

bool InputFile::map()
{
    unmapLeased();
    if (_buffer || _size == 0)
        return _fd >= 0;
    if (_size > SIZE_MAX)
        return false;
    // Read, not mmap: a mapped file that someone else truncates raises
    // SIGBUS in the caller. A file that shrank since open() is refused:
    // callers have decided on its size already.
    _buffer.reset(new (std::nothrow) std::uint8_t[_size]);
    if (!_buffer)
        return false;
    if (readAt(_fd, _buffer.get(), static_cast<std::size_t>(_size), 0) != _size) {
        _buffer.reset();
        return false;
    }
    _data = _buffer.get();
    return true;
}

bool InputFile::mapLeased()
{
    // A lease that the kernel breaks at once (lease-break-time 0) is no use.
    if (_fd < 0 || _data || _size < kLeaseMapFrom || _size > SIZE_MAX)
        return false;
    const long seconds = leaseBreakSeconds();
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

const std::uint8_t* FileReader::next(std::size_t max, std::size_t& n)
{
    n = static_cast<std::size_t>(std::min<std::uint64_t>(max, _file._size - _offset));
    if (n > _capacity) {
        _chunk.reset(new (std::nothrow) std::uint8_t[n]);
        _capacity = _chunk ? n : 0;
    }
    // A file cut short since it was opened gives nothing more.
    if (n > _capacity || readAt(_file._fd, _chunk.get(), n, _offset) != n)
        n = 0;
    _offset += n;
    return _chunk.get();
}

OutputFile::OutputFile() = default;

OutputFile::~OutputFile()
{
    discard();
}

void OutputFile::unmapAll()
{
    if (_map)
        ::munmap(_map, _mapSize);
    _map = nullptr;
}

void OutputFile::discard()
{
    unmapAll();
    // Content that was not committed is dropped: a Direct file is emptied so
    // that no partial content is left in it.
    if (_fd >= 0 && _mode == WriteMode::Direct && !_empty)
        (void)::ftruncate(_fd, 0);
    closeFd(_fd);
    if (!_temporary.empty())
        ::unlink(_temporary.c_str());
    _temporary.clear();
}

bool OutputFile::create(const std::string& target, WriteMode mode)
{
    _mode = mode;
    // A Direct file is our own: a link planted in its place is not followed.
    _target = target;
    if (mode == WriteMode::Replace && !followLinks(_target))
        return false;
    struct stat st;
    if (statPath(_target, st) && S_ISDIR(st.st_mode))
        return false;
    if (mode == WriteMode::Direct) {
        _fd = openRetrying(_target.c_str(), O_RDWR | O_NOFOLLOW);
        if (_fd >= 0 && !truncateToEmpty(_fd))
            closeFd(_fd);
        _empty = _fd >= 0;
        return _fd >= 0;
    }
    // The name beside the target is ".<name>.korv-" and ten random characters,
    // with <name> cut short where that would exceed the longest legal name.
    const std::string name = fileNameOf(_target).substr(0, NAME_MAX - kTemporaryNameExtra);
    _fd = createUniqueFile(directoryOf(_target), "." + name + ".korv-", 0666, _temporary);
    _empty = _fd >= 0;
    return _fd >= 0;
}

bool OutputFile::createWorkingCopy()
{
    discard();
    _mode = WriteMode::Direct;
    _target.clear();
    _failed = false;
    // Resolving the directory costs as much as creating the file, so each
    // thread keeps it for as long as TMPDIR stays the same and files can
    // still be made there. An empty result (Qt's report of a directory that
    // does not exist) must not turn into the root directory.
    thread_local std::string variable, directory;
    const std::string current = tempDirectoryVariable();
    bool fresh = false;
    if (directory.empty() || current != variable) {
        variable = current;
        directory = canonicalDirectory(current);
        fresh = true;
    }
    _fd = directory.empty() ? -1 : createUniqueFile(directory, "kr2", 0600, _target);
    if (_fd < 0 && !fresh && (errno == ENOENT || errno == ENOTDIR)) {
        directory = canonicalDirectory(current);
        _fd = directory.empty() ? -1 : createUniqueFile(directory, "kr2", 0600, _target);
    }
    _empty = _fd >= 0;
    return _fd >= 0;
}

bool OutputFile::write(const void* data, std::size_t n)
{
    if (n > 0)
        _empty = false;
    if (_fd < 0 || _failed || !writeAll(_fd, data, n))
        _failed = true;
    return !_failed;
}

bool OutputFile::writeAt(std::uint64_t offset, const void* data, std::size_t n)
{
    auto p = static_cast<const char*>(data);
    while (!_failed && n > 0) {
        const ssize_t w = ::pwrite(_fd, p, n, static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            _failed = true;
        else {
            p += w;
            n -= static_cast<std::size_t>(w);
            offset += static_cast<std::uint64_t>(w);
        }
    }
    return !_failed;
}

std::uint8_t* OutputFile::map(std::size_t n)
{
    if (_fd < 0 || _failed || n == 0 || _map)
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
        _failed = true;
    _empty = used == 0 && !_failed;
    return !_failed;
}

bool OutputFile::reset()
{
    unmapAll();
    if (_fd >= 0 && _empty) {
        _failed = false;
        return true;
    }
    _failed = _fd < 0 || !truncateToEmpty(_fd) || ::lseek(_fd, 0, SEEK_SET) < 0;
    _empty = !_failed;
    return !_failed;
}

bool OutputFile::commit(bool sync)
{
    if (_fd < 0 || _failed || _map)
        return false;
    if (_mode == WriteMode::Direct) {
        bool ok = ::close(_fd) == 0;
        _fd = -1;
        return ok;
    }
    bool ok = true;
    if (!_permissionsSet) {
        // A replaced file keeps its permissions and, where we may, its owner.
        struct stat st;
        if (statPath(_target, st)) {
            ok = ::fchmod(_fd, st.st_mode & kPermissionBits) == 0;
            if (ok && ::fchown(_fd, st.st_uid, st.st_gid) != 0) {
                // Only a privileged process may give a file away; keeping our own owner is fine.
            }
        }
    }
    if (ok && sync)
        ok = ::fdatasync(_fd) == 0;
    ok = ::close(_fd) == 0 && ok;
    _fd = -1;
    if (ok)
        ok = ::rename(_temporary.c_str(), _target.c_str()) == 0;
    if (ok)
        _temporary.clear();
    discard();
    return ok;
}

} // namespace korv::platform
