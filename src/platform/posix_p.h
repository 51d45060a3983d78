// What the POSIX implementation files of the platform share: file
// descriptors, the one retry loop for reads and writes, the last error, the
// temporary directory, and the metadata a replaced file keeps. Internal to
// src/platform: only *_posix.cpp include it.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform_p.h"

namespace korv::platform {

struct NewFileFacts::Private {
    struct Directory {
        std::uint32_t owner = 0;
        std::uint32_t group = 0;
        bool inheritsAcl = true;
    };
    std::map<std::string, Directory> directories;
    int processUmask = kUnread;
    static constexpr int kUnread = -2;

    // What was learnt about dir, or nullptr.
    Directory* find(const std::string& dir);
    // Notes what a file just made in dir was given (mine), and asks once
    // whether dir hands down an ACL.
    void learn(const std::string& dir, const struct stat& mine);
    // The umask, read on first use; -1 where it cannot be read.
    int umask();
};

} // namespace korv::platform

namespace korv::platform::posix {

// Sizes and offsets of files past 2 GiB on a 32-bit build too.
static_assert(sizeof(off_t) == 8, "off_t must be 64-bit: build with _FILE_OFFSET_BITS=64");

constexpr mode_t kOwnerWrite = S_IWUSR;
constexpr mode_t kPermissionBits = 07777;

// Records why a call failed (see lastError()) and returns false.
bool fail(int error = errno);

bool statPath(const std::string& path, struct stat& st);
// Whether a Linux kernel of this release ("6.1.0-18-amd64") reports a failed
// writeback from syncfs: before 5.8 it returned 0 whatever happened.
bool syncfsReportsErrors(const char* release);
// Whether syncfs on a file system of this type (statfs's f_type) flushes the
// disk's cache as fdatasync does.
bool syncfsFlushes(unsigned long fileSystemType);
// What a stat of a file found, as the platform hands it on (facts_posix.cpp).
void takeFacts(const struct stat& st, PathFacts& facts);
// open() with O_CLOEXEC, retried when a signal interrupts it (unless the
// caller asked to stop).
int openRetrying(const char* path, int flags, mode_t mode = 0);
// Closes an open descriptor and marks it closed: an int, or the intptr_t
// member of InputFile and OutputFile (the same type on 32-bit systems).
template <typename Fd>
void closeFd(Fd& fd)
{
    if (fd >= 0)
        ::close(static_cast<int>(fd));
    fd = -1;
}
// Writes all n bytes, at offset when it is not negative (the file position
// stays), else at the file position; false, the reason recorded, when they
// cannot all be written.
bool writeAll(int fd, const void* data, std::size_t n, std::int64_t offset = -1);
// Writes to a pipe whose reader has gone fail with EPIPE here rather than
// raise SIGPIPE, which would end the calling program.
bool writeAllWithoutSigpipe(int fd, const void* data, std::size_t n);
// Reads up to n bytes at offset; fewer only at the end of the file (callers
// ask for no more than they found there: kFileChanged) or on an error.
std::size_t readAt(int fd, void* buffer, std::size_t n, std::uint64_t offset);
// Opens a file of the caller's to change it, waiting out a read lease.
int openForChange(const std::string& path, int flags);
// True for a regular file; else records kNotRegularFile.
bool isRegular(const struct stat& st);
std::int64_t modificationTime(const struct stat& st);
// Empties a file, leaving an empty one alone.
bool truncateToEmpty(int fd);
// Creates a new file with an unpredictable name in dir; the name starts with
// prefix. The kernel applies the umask to mode, as for any new file.
int createUniqueFile(const std::string& dir, const std::string& prefix, mode_t mode, std::string& name);
// The file a write to path really lands in, symbolic links followed.
bool followLinks(std::string& path);

// The temporary directory, looked up in one place. Resolving it costs as much
// as creating a file, so each thread keeps the answer for as long as TMPDIR
// stays the same; `again` looks again all the same (the directory went away).
// Sets *fresh when this call looked it up. Empty when TMPDIR names no
// directory.
const std::string& temporaryDirectory(bool again, bool* fresh = nullptr);

// Copies size bytes of in to out, letting the kernel do the work. A
// cancellable copy stops when the caller asks.
bool copyContent(int in, int out, std::uint64_t size, bool cancellable = true);

// Metadata a replaced file keeps (metadata_posix.cpp).
bool takeOverMetadata(const std::string& target, const struct stat& old, const std::string& path, int fd);
// mine: the new file's owner and group as it was made, asked here unless
// mineKnown.
bool takeOverOwnership(int fd, const struct stat& old, struct stat& mine, bool mineKnown);

} // namespace korv::platform::posix
