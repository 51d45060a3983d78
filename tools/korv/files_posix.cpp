// korv's questions about files, answered by POSIX (names are bytes).
#include "files.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korv {

namespace {

FileStatus fromStat(const struct stat& st)
{
    FileStatus s;
    s.kind = S_ISREG(st.st_mode) ? FileKind::Regular
        : S_ISDIR(st.st_mode)    ? FileKind::Directory
        : S_ISLNK(st.st_mode)    ? FileKind::Link
                                 : FileKind::Other;
    s.size = std::uint64_t(st.st_size);
    s.id = { std::uint64_t(st.st_dev), std::uint64_t(st.st_ino) };
    return s;
}

} // namespace

FileStatus fileStatus(const std::string& path, bool followLinks)
{
    struct stat st;
    if ((followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
        FileStatus s;
        s.error = errno;
        return s;
    }
    return fromStat(st);
}

bool readDirectory(const std::string& path, std::vector<DirEntry>& entries, int& error)
{
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        error = errno;
        return false;
    }
    const std::string prefix = path.back() == '/' ? path : path + "/";
    errno = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            entries.push_back({ e->d_name, {} });
        errno = 0;
    }
    error = errno;
    ::closedir(dir);
    for (DirEntry& e : entries)
        e.status = fileStatus(prefix + e.name, false);
    return error == 0;
}

bool readStart(const std::string& path, unsigned char* bytes, std::size_t size, std::size_t& got,
    FileStatus& status)
{
    got = 0;
    // O_NONBLOCK: a FIFO must not hang the walk; a regular file ignores it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        status = {};
        status.error = errno;
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        status = {};
        status.error = errno;
    } else {
        status = fromStat(st);
        const ssize_t n = status.kind == FileKind::Regular ? ::pread(fd, bytes, size, 0) : 0;
        if (n < 0)
            status.error = errno;
        else
            got = std::size_t(n);
    }
    ::close(fd);
    return status.error == 0;
}

int openDescriptor(const std::string& path, bool wait, FileStatus& status)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (wait ? 0 : O_NONBLOCK));
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        status = {};
        status.error = errno;
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    status = fromStat(st);
    return fd;
}

void closeDescriptor(int fd)
{
    ::close(fd);
}

std::string descriptorPath(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

} // namespace korv
