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

// Reads a whole crypted file and sizes plain from its stored length, as a
// whole-buffer decoder trusts it; false when the file is not crypted.
inline bool readCrypted(const char* path, std::vector<std::uint8_t>& file, std::vector<std::uint8_t>& plain)
{
    if (!readWhole(path, file) || file.size() < 6 || file[0] != 'k' || file[1] != 'r')
        return false;
    plain.resize(
        (std::size_t(file[2]) << 24) | (std::size_t(file[3]) << 16) | (std::size_t(file[4]) << 8) | file[5]);
    return true;
}

inline int usage(const char* program)
{
    std::fprintf(stderr, "usage: %s <source> <target>\n", program);
    return 2;
}

// A whole-buffer decrypt peer: "<source> <target>"; decode(stream, n, plain)
// fills plain, sized from the stored length, and returns the bytes it made,
// or -1.
template <typename Decode> int decryptMain(int argc, char* argv[], Decode decode)
{
    if (argc != 3)
        return usage(argv[0]);
    std::vector<std::uint8_t> in, out;
    if (!readCrypted(argv[1], in, out))
        return 1;
    const long long made = decode(in.data() + 6, in.size() - 6, out);
    return made >= 0 && writeWhole(argv[2], out.data(), std::size_t(made)) ? 0 : 1;
}

} // namespace peer
