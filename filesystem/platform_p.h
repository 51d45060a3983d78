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
// Makes a read-only file writable for its owner; other permission bits stay.
bool clearReadOnly(const std::string& path);
// The reverse: takes the owner's write permission away.
bool setReadOnly(const std::string& path);
// True when both paths name one existing file (same device and inode).
bool sameFile(const std::string& a, const std::string& b);
// True when something (file, directory, ...) exists at path, links followed.
bool exists(const std::string& path);
// Creates one directory (the umask applies); false when it cannot.
bool makeDirectory(const std::string& path);

class InputFile;
class OutputFile;

// Why the last failed call of this thread failed, as the system says it
// (the error number; 0 for none), and that number's text.
int lastError();
std::string errorText(int error);

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

// How new content reaches its file.
enum class WriteMode {
    // Written beside the target and renamed over it: the old file stays whole
    // until the new content is complete. For users' files.
    Replace,
    // Written straight into an existing file of our own (a working copy in
    // the temporary directory), keeping its permissions.
    Direct
};

// Copies the regular file source onto target, carrying the source's
// permission bits over (Replace) and refusing an existing read-only target.
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
    void unmapLeased();

    int _fd = -1;
    std::uint64_t _size = 0;
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

private:
    const InputFile& _file;
    std::uint64_t _offset = 0;
    std::unique_ptr<std::uint8_t[]> _chunk;
    std::size_t _capacity = 0;
};

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
    // no file can be created beside it (Replace) or it cannot be opened (Direct).
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

    // Replace: gives the new content the permissions of the old target (or
    // the default ones for a new file), syncs it first when sync is true, and
    // renames it over the target. Direct: closes the file.
    bool commit(bool sync);

private:
    friend bool copyFile(const InputFile& source, const std::string& target, WriteMode mode);
    friend bool copyInto(const InputFile& source, OutputFile& out);
    void unmapAll();
    void discard();

    int _fd = -1;
    WriteMode _mode = WriteMode::Replace;
    std::string _target;
    std::string _temporary;
    std::uint8_t* _map = nullptr;
    std::size_t _mapSize = 0;
    bool _failed = false;
    // Nothing written since the file was found or made empty: reset() has
    // nothing to undo.
    bool _empty = false;
    bool _permissionsSet = false;
};

} // namespace korv::platform
