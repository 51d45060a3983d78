// Files by their path on POSIX: permission bits, existence, directories,
// removal, the temporary directory, appends and truncations in place, the
// kernel's lease-break time.
#include "inputfile_p.h"
#include "outputfile_p.h"
#include "platform_p.h"
#include "posix_p.h"
#include "testhooks_p.h"

#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace korv::platform::posix {

namespace {

// TMPDIR's bytes as they are, or /tmp.
std::string tempDirectoryVariable()
{
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? std::string(dir) : std::string("/tmp");
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

const std::string& temporaryDirectory(bool again, bool* fresh)
{
    thread_local std::string variable, directory;
    const std::string current = tempDirectoryVariable();
    const bool lookUp = again || directory.empty() || current != variable;
    if (lookUp) {
        variable = current;
        directory = canonicalDirectory(current);
    }
    if (fresh)
        *fresh = lookUp;
    return directory;
}

} // namespace korv::platform::posix

namespace korv::platform {

using namespace posix;

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

std::string tempDirectory()
{
    // QDir::tempPath() reads TMPDIR as UTF-8 and loses any other name. Made
    // canonical as Qt does; empty when TMPDIR names no directory.
    return temporaryDirectory(true);
}

RemoveResult removeNow(const std::string& path)
{
    if (::unlink(path.c_str()) == 0)
        return RemoveResult::Removed;
    // A path that names nothing, or runs through a non-directory, is gone.
    return errno == ENOENT || errno == ENOTDIR ? RemoveResult::Missing : RemoveResult::Failed;
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

} // namespace korv::platform
