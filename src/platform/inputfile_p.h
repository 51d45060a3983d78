// A regular file opened for reading, and its bytes a chunk at a time.
// Internal: not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "bytesink_p.h"
#include "platform_p.h"

namespace korv::platform {

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
    // The same for a file about to be replaced by new content under the same
    // path: a symbolic link is not followed (ELOOP; the caller opens it the
    // usual way), so what the open file's one look finds is also what is at
    // the path, handed back in facts.
    bool open(const std::string& path, PathFacts& facts);
    // Reads up to n bytes from the start of the file. A small file is read
    // whole on the way (load() then has nothing left to do).
    std::size_t peek(void* buffer, std::size_t n);
    // Reads the whole file into memory; false on failure. Empty files load
    // as no bytes. The bytes are our own: changes to the file do not reach them.
    // Called after mapLeased(), it trades the mapping for such a copy.
    bool load();
    // For a caller that is done with the bytes within seconds: maps a large
    // file instead of copying it, under a read lease that keeps other
    // processes from changing or truncating it meanwhile (they wait).
    // breakSeconds is the kernel's lease-break time (leaseBreakSeconds()),
    // read once by the caller. False, with nothing changed, where that cannot
    // be had; load() still can.
    bool mapLeased(long breakSeconds);
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
    // True when the file open here is the one facts describe.
    bool isFile(const PathFacts& facts) const
    {
        return facts.exists && facts.device == _device && facts.inode == _inode;
    }
    const std::uint8_t* data() const { return _data; }

private:
    friend bool copyFile(const InputFile& source, const std::string& target, WriteMode mode);
    friend bool copyInto(const InputFile& source, OutputFile& out);
    friend unsigned copyPermissions(const InputFile& source);
    friend class FileReader;
    friend bool appendToFile(const std::string& path, const InputFile& read, const void* data, std::size_t n);
    friend bool truncateFile(const std::string& path, const InputFile& read, std::uint64_t newSize);
    // True when fd is open on this file and it has the size and modification
    // time it had when opened.
    bool unchangedAt(std::intptr_t fd) const;
    bool openFile(const std::string& path, bool refuseLinks, PathFacts& facts);

    // The open file: a descriptor on POSIX, a HANDLE on Windows; -1 for none.
    std::intptr_t _fd = -1;
    std::uint64_t _size = 0;
    // The modification time when opened, in nanoseconds.
    std::int64_t _modified = 0;
    std::uint64_t _device = 0;
    std::uint64_t _inode = 0;
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

} // namespace korv::platform
