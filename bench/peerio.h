// Whole-file I/O for the peer programs, written the way a careful
// whole-buffer tool does it: read the file into one buffer, write one buffer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace peer {

inline bool readWhole(const char* path, std::vector<std::uint8_t>& bytes)
{
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return false;
    bytes.resize(std::size_t(st.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
    ::close(fd);
    bytes.resize(done);
    return true;
}

inline bool writeWhole(const char* path, const std::uint8_t* data, std::size_t n)
{
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w <= 0)
            break;
        data += w;
        n -= std::size_t(w);
    }
    return ::close(fd) == 0 && n == 0;
}

// The crypted header: "kr" and the plain length, big-endian.
inline bool plainLength(const std::vector<std::uint8_t>& file, std::uint32_t& length)
{
    if (file.size() < 6 || file[0] != 'k' || file[1] != 'r')
        return false;
    length = (std::uint32_t(file[2]) << 24) | (std::uint32_t(file[3]) << 16) | (std::uint32_t(file[4]) << 8)
        | file[5];
    return true;
}

inline int usage(const char* program)
{
    std::fprintf(stderr, "usage: %s <source> <target>\n", program);
    return 2;
}

} // namespace peer
