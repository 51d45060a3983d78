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

void InputFile::close()
{
    unmapLeased();
    _buffer.reset();
    _data = nullptr;
    closeHandle(_fd);
}

bool InputFile::openFile(const std::string& path, bool refuseLinks, PathFacts& facts)
{
    // With FILE_FLAG_OPEN_REPARSE_POINT a link is opened as itself, and refused.
    const DWORD flags = refuseLinks ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
    // Others may read, write, rename and delete it meanwhile, as elsewhere:
    // what was read is checked against the file's size and time. Only a
    // mapping keeps writers out (mapLeased).
    HANDLE h = openPath(
        path, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags);
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

} // namespace korv::platform
