// Reading a file on Windows: whole into memory, mapped while others are kept
// from writing it, or a piece at a time.
#include "inputfile_p.h"
#include "platform_p.h"
#include "win32_p.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace korv::platform {

using namespace win32;

namespace {

// Files up to this size are read whole when their first bytes are asked for.
constexpr std::uint64_t kReadWholeOnPeek = 64 << 10;
// From this size on a file is worth mapping rather than copying.
constexpr std::uint64_t kLeaseMapFrom = 1 << 20;

} // namespace

bool InputFile::unchangedAt(std::intptr_t fd) const
{
    FileState st, readSt;
    if (!stateOf(handleOf(fd), st) || !stateOf(handleOf(_fd), readSt))
        return false;
    return (st.volume == readSt.volume && st.index == readSt.index && st.size == _size && st.modified == _modified)
        || fail(kFileChanged);
}

InputFile::~InputFile()
{
    close();
}

void InputFile::close()
{
    unmapLeased();
    _buffer.reset();
    _data = nullptr;
    closeHandle(_fd);
}

bool InputFile::open(const std::string& path)
{
    PathFacts facts;
    return openFile(path, 0, facts);
}

bool InputFile::open(const std::string& path, PathFacts& facts)
{
    return openFile(path, FILE_FLAG_OPEN_REPARSE_POINT, facts);
}

// flags: CreateFileW flags added to the usual ones. With
// FILE_FLAG_OPEN_REPARSE_POINT a link is opened as itself, and refused.
bool InputFile::openFile(const std::string& path, int flags, PathFacts& facts)
{
    // Others may read, write, rename and delete it meanwhile, as elsewhere:
    // what was read is checked against the file's size and time. Only a
    // mapping keeps writers out (mapLeased).
    HANDLE h = openPath(
        path, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | static_cast<DWORD>(flags));
    if (h == INVALID_HANDLE_VALUE)
        return false;
    FileState st;
    const bool ok = stateOf(h, st, false)
        && (!(st.attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(flags & FILE_FLAG_OPEN_REPARSE_POINT)
            || fail(ELOOP))
        && (isRegular(h, st) || fail(kNotRegularFile));
    if (!ok) {
        CloseHandle(h);
        return false;
    }
    _fd = valueOf(h);
    _size = st.size;
    _modified = st.modified;
    _device = st.volume;
    _inode = st.index;
    takeFacts(st, true, facts);
    return true;
}

std::size_t InputFile::peek(void* buffer, std::size_t n)
{
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, _size));
    if (_size <= kReadWholeOnPeek && load()) {
        if (n > 0)
            std::memcpy(buffer, _data, n);
        return n;
    }
    return readAt(handleOf(_fd), buffer, n, 0);
}

bool InputFile::load()
{
    unmapLeased();
    if (_buffer || _size == 0)
        return _fd != -1;
    if (_size > SIZE_MAX)
        return fail(ENOMEM);
    _buffer.reset(new (std::nothrow) std::uint8_t[_size]);
    if (!_buffer)
        return fail(ENOMEM);
    if (readAt(handleOf(_fd), _buffer.get(), static_cast<std::size_t>(_size), 0) != _size) {
        _buffer.reset();
        return false;
    }
    _data = _buffer.get();
    return true;
}

bool InputFile::mapLeased(long breakSeconds)
{
    if (_fd == -1 || _data || _size < kLeaseMapFrom || _size > SIZE_MAX || breakSeconds < 1)
        return false;
    // The lease: a handle that does not share writing, which Windows grants
    // only while nobody has the file open for writing, and which keeps
    // everyone from opening it so until it is closed. It stands in for the
    // plain handle meanwhile.
    HANDLE lease = ReOpenFile(handleOf(_fd), GENERIC_READ, kShareReadDelete, 0);
    if (lease == INVALID_HANDLE_VALUE)
        return false;
    FileState st;
    void* p = nullptr;
    if (stateOf(lease, st) && st.size == _size && st.modified == _modified) {
        HANDLE mapping = CreateFileMappingW(lease, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping) {
            p = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(_size));
            // The view keeps the mapping alive.
            CloseHandle(mapping);
        }
    }
    if (!p) {
        CloseHandle(lease);
        return false;
    }
    CloseHandle(handleOf(_fd));
    _fd = valueOf(lease);
    _leasedMap = p;
    _leaseSeconds = breakSeconds;
    _data = static_cast<const std::uint8_t*>(p);
    return true;
}

void InputFile::unmapLeased()
{
    if (!_leasedMap)
        return;
    UnmapViewOfFile(_leasedMap);
    // Back to a handle that lets others write; should Windows refuse one,
    // the lease is kept until close().
    HANDLE plain = ReOpenFile(handleOf(_fd), GENERIC_READ, kShareAll, 0);
    if (plain != INVALID_HANDLE_VALUE) {
        CloseHandle(handleOf(_fd));
        _fd = valueOf(plain);
    }
    _leasedMap = nullptr;
    _leaseSeconds = 0;
    _data = nullptr;
}

std::size_t InputFile::read(std::uint64_t offset, void* buffer, std::size_t n) const
{
    return _fd == -1 ? 0 : readAt(handleOf(_fd), buffer, n, offset);
}

const std::uint8_t* FileReader::next(std::size_t max, std::size_t& n)
{
    n = static_cast<std::size_t>(std::min<std::uint64_t>(max, _file._size - _offset));
    if (n > _capacity) {
        _chunk.reset(new (std::nothrow) std::uint8_t[n]);
        _capacity = _chunk ? n : 0;
    }
    if ((n > _capacity && !fail(ENOMEM)) || readAt(handleOf(_file._fd), _chunk.get(), n, _offset) != n) {
        _failed = true;
        n = 0;
    }
    _offset += n;
    return _chunk.get();
}

} // namespace korv::platform
