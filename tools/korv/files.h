// What korv asks the operating system about files, beside the library: the
// kind and size of a path, a directory's entries, a file's first bytes, a
// descriptor on a file. One implementation per platform (files_*.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace korv {

enum class FileKind { Regular, Directory, Link, Other };

// Tells directories apart, so that a walk notices one it is already inside.
using DirId = std::pair<std::uint64_t, std::uint64_t>;

struct FileStatus {
    int error = 0; // an errno value when the path could not be examined
    FileKind kind = FileKind::Other;
    std::uint64_t size = 0;
    DirId id;
};

// The path itself with followLinks false (a link, or on Windows any
// reparse point, is FileKind::Link), else what it leads to.
FileStatus fileStatus(const std::string& path, bool followLinks);

// The entries of a directory except "." and "..", unsorted, each examined
// without following links (an entry's own failure is in its error).
// False with `error` set when the directory could not be read.
struct DirEntry {
    std::string name;
    FileStatus status;
};
bool readDirectory(const std::string& path, std::vector<DirEntry>& entries, int& error);

// The first bytes of a file without waiting for a FIFO's writer: `got`
// of them in `bytes`, the file's status in `status`. False with
// status.error set when it could not be read; true for a file that is not
// regular too (status.kind says so, nothing read).
bool readStart(const std::string& path, unsigned char* bytes, std::size_t size, std::size_t& got,
    FileStatus& status);

// A C runtime descriptor for reading `path`, which Qt takes (QFile::open);
// a pipe is waited for only with `wait`. -1 with `status.error` set on
// failure; `status` describes the open file.
int openDescriptor(const std::string& path, bool wait, FileStatus& status);
void closeDescriptor(int fd);
// A name under which the file open on `fd` can be opened again, empty
// where the platform has none.
std::string descriptorPath(int fd);

} // namespace korv
