// Linux implementation of the platform interface: permission bits, atomic
// replacement through a file beside the target that keeps the target's
// metadata, kernel-side file copies, output files mapped and faulted in
// ahead of the code that fills them.
#include "platform_p.h"

#include "cancel_p.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <mutex>
#include <random>

#include <QByteArray>

#include <acl/libacl.h>
#include <attr/libattr.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/acl.h>
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
// A kernel copy is done this many bytes at a time, so a cancel is seen.
constexpr std::uint64_t kCopyStep = 64 << 20;
// Files up to this size are read whole when their first bytes are asked for.
constexpr std::uint64_t kReadWholeOnPeek = 64 << 10;
// From this size on a file is worth mapping under a lease rather than copying.
constexpr std::uint64_t kLeaseMapFrom = 1 << 20;

thread_local int lastErrorValue = 0;

// Records why a call failed (see lastError()) and returns false.
bool fail(int error = errno)
{
    lastErrorValue = error;
    return false;
}

bool statPath(const std::string& path, struct stat& st)
{
    return ::stat(path.c_str(), &st) == 0;
}

int openRetrying(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR && !cancelRequested());
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
        if (w < 0 && errno == EINTR && !cancelRequested())
            continue;
        if (w <= 0)
            return fail(w < 0 ? errno : ENOSPC);
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
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
            return fail(), -1;
    }
    return fail(EEXIST), -1;
}

// Copies every byte of in to out, letting the kernel do the work: a reflink
// where the filesystem shares extents, copy_file_range otherwise, and plain
// reads and writes as the last resort. A cancellable copy stops when the
// caller asks; one that overwrites a file in place goes on to the end.
bool copyContent(int in, int out, std::uint64_t size, bool cancellable = true)
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
        ssize_t n = ::copy_file_range(in, &from, out, nullptr, std::min(size - done, kCopyStep), 0);
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

} // namespace

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

namespace {

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

namespace {

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

} // namespace

int lastError()
{
    return lastErrorValue;
}

void clearLastError()
{
    lastErrorValue = 0;
}

namespace {

// Appends to the regular file open as fd; on a failed write the file is cut
// back to its old size, so no partial append stays.
bool appendTo(int fd, std::uint64_t oldSize, const void* data, std::size_t n)
{
    if (writeAll(fd, data, n))
        return true;
    const int error = errno;
    (void)::ftruncate(fd, static_cast<off_t>(oldSize));
    return fail(error);
}

} // namespace

bool appendToFile(const std::string& path, std::uint64_t expectedSize, const void* data, std::size_t n)
{
    int fd = openForChange(path, O_WRONLY | O_APPEND);
    if (fd < 0)
        return false;
    struct stat st;
    const bool ok = (::fstat(fd, &st) == 0 || fail()) && isRegular(st)
        && (static_cast<std::uint64_t>(st.st_size) == expectedSize || fail(kFileChanged))
        && appendTo(fd, expectedSize, data, n);
    return (::close(fd) == 0 || fail()) && ok;
}

bool InputFile::unchangedAt(int fd) const
{
    struct stat st, readSt;
    if (::fstat(fd, &st) != 0 || ::fstat(_fd, &readSt) != 0)
        return fail();
    return isRegular(st)
        && ((st.st_dev == readSt.st_dev && st.st_ino == readSt.st_ino
                && static_cast<std::uint64_t>(st.st_size) == _size && modificationTime(st) == _modified)
            || fail(kFileChanged));
}

bool appendToFile(const std::string& path, const InputFile& read, const void* data, std::size_t n)
{
    int fd = openForChange(path, O_WRONLY | O_APPEND);
    if (fd < 0)
        return false;
    const bool ok = read.unchangedAt(fd) && appendTo(fd, read._size, data, n);
    return (::close(fd) == 0 || fail()) && ok;
}

bool truncateFile(const std::string& path, const InputFile& read, std::uint64_t newSize)
{
    int fd = openForChange(path, O_WRONLY);
    if (fd < 0)
        return false;
    const bool ok = read.unchangedAt(fd) && (::ftruncate(fd, static_cast<off_t>(newSize)) == 0 || fail());
    return (::close(fd) == 0 || fail()) && ok;
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
    if ((st.st_mode & kOwnerWrite) || !S_ISREG(st.st_mode))
        return true;
    return ::chmod(path.c_str(), (st.st_mode & kPermissionBits) | kOwnerWrite) == 0;
}

bool setReadOnly(const std::string& path)
{
    struct stat st;
    return statPath(path, st) && S_ISREG(st.st_mode)
        && ::chmod(path.c_str(), (st.st_mode & kPermissionBits) & ~kOwnerWrite) == 0;
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
    out.setPermissions(st.st_mode & kPermissionBits);
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
        return fail();
    struct stat st;
    if ((::fstat(_fd, &st) != 0 && !fail()) || !isRegular(st)) {
        closeFd(_fd);
        return false;
    }
    _size = static_cast<std::uint64_t>(st.st_size);
    _modified = modificationTime(st);
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
        return fail(ENOMEM);
    // Read, not mmap: a mapped file that someone else truncates raises
    // SIGBUS in the caller. A file that shrank since open() is refused:
    // callers have decided on its size already.
    _buffer.reset(new (std::nothrow) std::uint8_t[_size]);
    if (!_buffer)
        return fail(ENOMEM);
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
    if ((n > _capacity && !fail(ENOMEM)) || readAt(_file._fd, _chunk.get(), n, _offset) != n) {
        _failed = true;
        n = 0;
    }
    _offset += n;
    return _chunk.get();
}

// Keeping a replaced file what it was: owner, group, permissions, ACL and
// extended attributes, and the file itself where a rename would lose them.
namespace {

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

// The extended attributes libattr copies: not those /etc/xattr.conf calls
// permissions (the ACL, copied on its own) or says to skip.
int isCopiedAttribute(const char* name, struct error_context* context)
{
    // libattr reads that file on first use, without a lock of its own.
    static std::mutex configuration;
    std::lock_guard<std::mutex> lock(configuration);
    return ::attr_copy_action(name, context) == 0;
}

// Gives the new file at path (open as fd) what the old target had besides
// its content: extended attributes, then its permission bits and its ACL. Attributes the process may not set
// (a security label without privilege, say) are skipped: libattr goes on past them, and without an error
// context it prints nothing.
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

// Writes to a pipe whose reader has gone fail with EPIPE here rather than
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

} // namespace

std::atomic<CommitHook> beforeCommit { nullptr };

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
    if (_fd >= 0 && _route == Route::Direct && !_empty)
        (void)::ftruncate(_fd, 0);
    closeFd(_fd);
    if (!_temporary.empty())
        ::unlink(_temporary.c_str());
    _temporary.clear();
}

bool OutputFile::create(const std::string& target, WriteMode mode)
{
    _mode = mode;
    _route = mode == WriteMode::Direct ? Route::Direct : Route::Beside;
    _target = target;
    // What the path names, every link resolved by the kernel, /proc/self/fd
    // ones too (which name a pipe, not a path).
    struct stat st;
    const bool exists = statPath(target, st);
    if (exists && S_ISDIR(st.st_mode))
        return fail(kNotRegularFile);
    if (mode == WriteMode::Direct) {
        // A Direct file is our own: a link planted in its place is not followed.
        _fd = openRetrying(_target.c_str(), O_RDWR | O_NOFOLLOW);
        if (_fd < 0)
            fail();
        else if (!truncateToEmpty(_fd) && !fail())
            closeFd(_fd);
        _empty = _fd >= 0;
        return _fd >= 0;
    }
    if (exists && !S_ISREG(st.st_mode))
        return createInto(target);
    if (!followLinks(_target))
        return fail(ELOOP);
    // A new file would leave the old content under the file's other names.
    if (exists && st.st_nlink > 1)
        return createOverwrite();
    // The name beside the target is ".<name>.korv-" and ten random characters,
    // with <name> cut short where that would exceed the longest legal name.
    // Only its owner may open it until the commit gives it its permissions.
    const std::string name = fileNameOf(_target).substr(0, NAME_MAX - kTemporaryNameExtra);
    _fd = createUniqueFile(directoryOf(_target), "." + name + ".korv-", 0600, _temporary);
    if (_fd < 0)
        return exists && (errno == EACCES || errno == EPERM) && createOverwrite();
    if (exists && !takeOverOwnership(_fd, st)) {
        discard();
        return createOverwrite();
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

bool OutputFile::createWorkingCopy()
{
    discard();
    _mode = WriteMode::Direct;
    _route = Route::Direct;
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
    const bool ok = _fd >= 0 && !_failed
        && (_route == Route::Into ? writeAllWithoutSigpipe(_fd, data, n) : writeAll(_fd, data, n));
    if (!ok)
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
            _failed = !fail(w < 0 ? errno : ENOSPC);
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
    return !_failed;
}

void OutputFile::setPermissions(unsigned mode)
{
    _permissions = mode & kPermissionBits;
    _permissionsSet = true;
}

bool OutputFile::commit(bool sync)
{
    if (_fd < 0 || _failed || _map)
        return false;
    if (_route == Route::Beside || _route == Route::Overwrite) {
        if (const CommitHook hook = beforeCommit.load())
            hook(_temporary);
    }
    // A stop asked for now still leaves every existing file as it was; the
    // destruction drops the new content.
    if (cancelRequested())
        return fail(ECANCELED);
    bool ok = false;
    switch (_route) {
    case Route::Direct:
    case Route::Into:
        ok = ::close(_fd) == 0 || fail();
        _fd = -1;
        return ok;
    case Route::Beside:
        ok = commitBeside(sync);
        break;
    case Route::Overwrite:
        ok = commitOverwrite();
        break;
    }
    discard();
    return ok;
}

bool OutputFile::commitBeside(bool sync)
{
    // The owner and group were given at the creation, while the file was empty.
    struct stat st;
    bool ok;
    if (statPath(_target, st))
        ok = takeOverMetadata(_target, st, _temporary, _fd) || fail();
    else if (_permissionsSet)
        ok = ::fchmod(_fd, _permissions) == 0 || fail();
    else
        ok = applyDefaultAcl(directoryOf(_target), _fd) || ::fchmod(_fd, 0666 & ~currentUmask()) == 0
            || fail();
    if (ok && sync)
        ok = ::fdatasync(_fd) == 0 || fail();
    ok = (::close(_fd) == 0 || fail()) && ok;
    _fd = -1;
    if (ok)
        ok = ::rename(_temporary.c_str(), _target.c_str()) == 0 || fail();
    if (ok)
        _temporary.clear();
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
