// The operating-system services the library needs, behind one small interface:
// files by their path, the last error, the temporary directory, copies.
// inputfile_p.h and outputfile_p.h hold the two file classes, testhooks_p.h
// the seams tests use. Internal: not installed. The *_posix.cpp files
// implement it (the build picks one file per platform and concern); nothing
// here names a system type, and the rest of the library never includes a
// system header of its own. No Qt.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>


namespace korv::platform {

// A file is read-only when its owner may not write it (the owner write bit).
bool isReadOnly(const std::string& path);
// Makes a read-only regular file writable for its owner; other permission
// bits stay. Devices and FIFOs are left as they are.
bool clearReadOnly(const std::string& path);
// The reverse: takes the owner's write permission away (regular files only).
bool setReadOnly(const std::string& path);
// True when both paths name one existing file (same device and inode).
bool sameFile(const std::string& a, const std::string& b);
// True when something (file, directory, ...) exists at path, links followed.
bool exists(const std::string& path);
// Creates one directory (the umask applies); false when it cannot.
bool makeDirectory(const std::string& path);
// How long others wait on a read lease at most before the kernel lets them
// go ahead anyway (its lease-break-time), in seconds; 0 when unknown.
long leaseBreakSeconds();
// The most bytes one new mapping or allocation of a whole file should take,
// so that the rest of the process still fits beside it: bounded by the size
// of the address space (a 32-bit one is small and fragmented) and by what a
// limit on it leaves free now. A larger file is handled a piece at a time.
std::uint64_t mappableBytes();

class InputFile;
class OutputFile;

// What new files get in the directories a caller replaces many files in,
// learnt from the first file it makes in each and not asked again: the
// owner and group a new file there is given, whether the directory hands
// down a default ACL; and the process's umask. With these, a file replacing
// one whose owner and group a new file gets anyway is created with the old
// file's permissions: its owner need not be asked nor its mode set again.
// Facts about a directory can change (chgrp, setfacl): forget() them often
// (a batch does at each commit).
class NewFileFacts {
public:
    NewFileFacts();
    ~NewFileFacts();
    NewFileFacts(const NewFileFacts&) = delete;
    NewFileFacts& operator=(const NewFileFacts&) = delete;
    // Forgets the directories; the umask is kept.
    void forget();

private:
    friend class OutputFile;
    struct Private;
    std::unique_ptr<Private> d;
};

// What one look at a path finds, links followed: asked once per file and
// handed on, so that no later step asks the system again.
struct PathFacts {
    bool exists = false;
    bool regular = false;
    bool directory = false;
    // The last component is a symbolic link (dangling ones too).
    bool link = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t links = 0;
    std::uint32_t mode = 0; // permission bits
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    bool readOnly() const { return exists && (mode & 0200) == 0; }
};
// One look at path (a second one only for a symbolic link). False, with
// exists false, when nothing is there.
bool lookAt(const std::string& path, PathFacts& facts);
// Makes the entries of the directory at path durable: a rename into it
// survives a power loss once this returns true.
bool syncDirectory(const std::string& path);

// Why the last call of this interface that failed on this thread failed:
// the errno of the system call that failed, or one of the values below.
// Recorded where the failure happens and kept until clearLastError(), so a
// caller clears it, makes its calls and reads it once one of them fails.
int lastError();
void clearLastError();
// Records error as the reason for the failure at hand; returns false.
bool failWith(int error);
// A directory, device, FIFO or socket where a regular file is needed.
constexpr int kNotRegularFile = -1;
// The file no longer holds what was read from it (it shrank or was written).
constexpr int kFileChanged = -2;

// The system temporary directory (TMPDIR when set, else /tmp), its bytes as
// they are, made canonical; empty when it names no directory.
std::string tempDirectory();

enum class RemoveResult {
    Removed,
    Missing, // nothing at the path: there is nothing left to remove
    Failed // the file is still there
};
// Removes the file at path (not a directory). removeNow is the platform's
// call alone, without the test seam removeFile obeys.
RemoveResult removeFile(const std::string& path);
RemoveResult removeNow(const std::string& path);

// dir + "/" + prefix + ten random letters and digits: a name for a new file
// nobody can guess.
std::string uniqueCandidate(const std::string& dir, const std::string& prefix);

// Appends n bytes to the regular file at path, provided it still holds
// expectedSize bytes (so it has not changed since the caller read it). On a
// failed write the file is cut back to its old size: no partial append stays.
bool appendToFile(const std::string& path, std::uint64_t expectedSize, const void* data, std::size_t n);
// The same, provided path still names the file `read` has open, with the
// size and modification time it had when opened (kFileChanged otherwise):
// nothing written to it since it was read.
bool appendToFile(const std::string& path, const InputFile& read, const void* data, std::size_t n);
// Cuts the regular file at path down to newSize bytes in place: the same
// file, so its links, owner, permissions and extended attributes stay.
// Only while it is unchanged since `read` opened it, as above.
bool truncateFile(const std::string& path, const InputFile& read, std::uint64_t newSize);

// How new content reaches its file.
enum class WriteMode {
    // For users' files. Written beside the target and renamed over it, so the
    // old file stays whole until the new content is complete; the new file
    // takes over the old one's owner, group, permissions, ACL and extended
    // attributes. Where a rename would lose one of those (a target with other
    // hard links, or whose owner or group we cannot give to a new file, or in
    // a directory we may not write), the content is prepared whole in the
    // temporary directory and then copied into the target itself. A target
    // that is not a regular file (a device, a FIFO) is written into directly.
    Replace,
    // Written straight into an existing file of our own (a working copy in
    // the temporary directory), keeping its permissions.
    WorkingCopy
};

// Copies the regular file source onto target, carrying the source's
// permission bits over to a new target (Replace; an existing one keeps its
// own) and refusing an existing read-only target.
// When both name the same file nothing is written and the copy counts as made.
bool copyFile(const std::string& source, const std::string& target, WriteMode mode = WriteMode::Replace);
// The same from a file already open: the copy is of the file examined, even
// if its name was removed or given to another file since.
bool copyFile(const InputFile& source, const std::string& target, WriteMode mode = WriteMode::Replace);
// Writes every byte of source into out, which the caller commits.
bool copyInto(const InputFile& source, OutputFile& out);
// The permission bits a copy of source gets (on Windows 0444 for a
// read-only file, else 0666); 0 when they cannot be read.
unsigned copyPermissions(const InputFile& source);

} // namespace korv::platform
