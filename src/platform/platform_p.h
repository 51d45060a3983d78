// The operating-system services the library needs, behind one small interface.
// Internal: not installed. platform_posix.cpp implements it for Linux; the
// rest of the library never includes a system header of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "bytesink_p.h"

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

class InputFile;
class OutputFile;

// Why the last call of this interface that failed on this thread failed:
// the errno of the system call that failed, or one of the values below.
// Recorded where the failure happens and kept until clearLastError(), so a
// caller clears it, makes its calls and reads it once one of them fails.
int lastError();
void clearLastError();
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
// Removes the file at path (not a directory).
RemoveResult removeFile(const std::string& path);

// Test seam: when set and it returns true for a path, removeFile leaves that
// file alone and reports Failed, as a platform that refuses to remove an open
// file would. Not exported; only tests set it.
using RemoveFault = bool (*)(const std::string& path);
extern std::atomic<RemoveFault> removeFault;

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
    Direct
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

// A regular file opened for reading: read into memory whole, mapped under a
// lease (mapLeased) or read a piece at a time (FileReader).
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // False when path cannot be opened or is not a regular file.
    bool open(const std::string& path);
    // Reads up to n bytes from the start of the file. A small file is read
    // whole on the way (map() then has nothing left to do).
    std::size_t peek(void* buffer, std::size_t n);
    // Reads the whole file into memory; false on failure. Empty files map to
    // no bytes. The bytes are our own: changes to the file do not reach them.
    // Called after mapLeased(), it trades the mapping for such a copy.
    bool map();
    // For a caller that is done with the bytes within seconds: maps a large
    // file instead of copying it, under a read lease that keeps other
    // processes from changing or truncating it meanwhile (they wait). False,
    // with nothing changed, where that cannot be had; map() still can.
    bool mapLeased();
    // How long others wait on the lease at most before the kernel lets them
    // go ahead anyway (its lease-break-time); 0 when not leased.
    long leaseSeconds() const { return _leaseSeconds; }
    // Ends a mapping of mapLeased() and gives the lease back; the file stays
    // open for reading. Nothing to do without one.
    void unmapLeased();
    // Reads up to n bytes at offset without loading the file; fewer only at
    // its end or on an error.
    std::size_t read(std::uint64_t offset, void* buffer, std::size_t n) const;
    // Gives the file back: ends a mapping and its lease, frees the bytes.
    void close();
    std::uint64_t size() const { return _size; }
    const std::uint8_t* data() const { return _data; }

private:
    friend bool copyFile(const InputFile& source, const std::string& target, WriteMode mode);
    friend bool copyInto(const InputFile& source, OutputFile& out);
    friend class FileReader;
    friend bool appendToFile(const std::string& path, const InputFile& read, const void* data, std::size_t n);
    friend bool truncateFile(const std::string& path, const InputFile& read, std::uint64_t newSize);
    // True when fd is open on this file and it has the size and modification
    // time it had when opened.
    bool unchangedAt(int fd) const;

    int _fd = -1;
    std::uint64_t _size = 0;
    // The modification time when opened, in nanoseconds.
    std::int64_t _modified = 0;
    const std::uint8_t* _data = nullptr;
    std::unique_ptr<std::uint8_t[]> _buffer;
    void* _leasedMap = nullptr;
    long _leaseSeconds = 0;
};

// An open file's bytes, from the start, a chunk at a time through a buffer
// of our own: never more than the size the file had when it was opened, and
// none once it turns out shorter.
class FileReader final : public ByteSource {
public:
    explicit FileReader(const InputFile& file)
        : _file(file)
    {
    }
    const std::uint8_t* next(std::size_t max, std::size_t& n) override;
    // True once a read failed or found the file shorter (lastError() says
    // why): the bytes stopped before the end.
    bool failed() const { return _failed; }

private:
    const InputFile& _file;
    std::uint64_t _offset = 0;
    bool _failed = false;
    std::unique_ptr<std::uint8_t[]> _chunk;
    std::size_t _capacity = 0;
};

// Test seam: when set, called at every commit of a Replace with the file that
// holds the new content, before it takes over the target's metadata and
// replaces it. Not exported; only tests set it.
using CommitHook = void (*)(const std::string& newContent);
extern std::atomic<CommitHook> beforeCommit;

// Output mappings are faulted in this many bytes at a time.
constexpr std::size_t kPrefaultStep = 2 << 20;

// New content for a path, written as its WriteMode says. Destruction without
// commit() drops the new content: the fresh file beside the target is
// removed, a Direct file is emptied.
class OutputFile final : public ByteSink {
public:
    OutputFile();
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Starts new content for target. False when the target is a directory,
    // no file can be created beside it nor the target written (Replace) or it
    // cannot be opened (Direct).
    bool create(const std::string& target, WriteMode mode = WriteMode::Replace);
    // Starts a new working copy in the temporary directory, written Direct:
    // its name starts with "kr2" and is unpredictable, it is created
    // atomically (never through a link planted in its place) and only its
    // owner may read it. False when no such file can be made.
    bool createWorkingCopy();
    // The file the content goes to (the target, links followed).
    const std::string& path() const { return _target; }

    bool write(const void* data, std::size_t n) override;
    // Overwrites n bytes already written, at offset (a length in a header
    // known only at the end); the next write() still appends.
    bool writeAt(std::uint64_t offset, const void* data, std::size_t n);
    // Sets the content to n zero bytes and maps them for writing, with the
    // disk space reserved and the pages faulted in; nullptr when the file cannot be
    // sized, reserved or mapped (the caller then uses write(), which reports
    // the failure where a store into the mapping would raise SIGBUS).
    std::uint8_t* map(std::size_t n) override;
    // Ends a mapping, keeping its first used bytes as the whole content.
    bool unmap(std::size_t used) override;
    // Drops everything written so far.
    bool reset() override;

    // Replace: the permission bits a new target gets at the commit instead
    // of the default ones. An existing target keeps its own.
    void setPermissions(unsigned mode);

    // Fails, dropping the new content, when the caller has asked to stop.
    // Replace: gives the new content the old target's metadata (or the
    // default permissions for a new file), syncs it first when sync is true,
    // and renames it over the target; or syncs it and copies it into the
    // target, which is synced too. A device or FIFO is closed. Direct: closes
    // the file.
    bool commit(bool sync);
    // True once a write failed (lastError() says why).
    bool failed() const { return _failed; }

private:
    friend bool copyFile(const InputFile& source, const std::string& target, WriteMode mode);
    friend bool copyInto(const InputFile& source, OutputFile& out);
    // Where the bytes go until the commit.
    enum class Route {
        Beside, // a new file beside the target, renamed over it
        Into, // the target itself, a device or FIFO: no commit to make
        Overwrite, // a file in the temporary directory, copied into the target
        Direct // our own working copy
    };
    bool createInto(const std::string& target);
    bool createOverwrite();
    bool commitBeside(bool sync);
    bool commitOverwrite();
    void unmapAll();
    void discard();

    int _fd = -1;
    WriteMode _mode = WriteMode::Replace;
    Route _route = Route::Beside;
    unsigned _permissions = 0;
    std::string _target;
    std::string _temporary;
    std::uint8_t* _map = nullptr;
    std::size_t _mapSize = 0;
    bool _failed = false;
    // Nothing written since the file was found or made empty: reset() has
    // nothing to undo.
    bool _empty = false;
    bool _permissionsSet = false;
    // Overwrite: the file the content is copied into at the commit.
    std::uint64_t _targetDevice = 0;
    std::uint64_t _targetInode = 0;
};

} // namespace korv::platform
