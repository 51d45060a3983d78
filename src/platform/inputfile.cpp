// InputFile and FileReader where no system call is made directly: opening,
// mapping and reading at an offset are each platform's (inputfile_*.cpp).
#include "inputfile_p.h"
#include "platform_p.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace korv::platform {

namespace {

// Files up to this size are read whole when their first bytes are asked for.
constexpr std::uint64_t kReadWholeOnPeek = 64 << 10;

} // namespace

InputFile::~InputFile()
{
    close();
}

bool InputFile::open(const std::string& path)
{
    PathFacts facts;
    return openFile(path, false, facts);
}

bool InputFile::open(const std::string& path, PathFacts& facts)
{
    return openFile(path, true, facts);
}

std::size_t InputFile::peek(void* buffer, std::size_t n)
{
    // Never more than the size the file had when opened: that is what load() covers.
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, _size));
    // One read instead of two for a small file, which is most of the cost
    // of a working copy.
    if (_size <= kReadWholeOnPeek && load()) {
        if (n > 0)
            std::memcpy(buffer, _data, n);
        return n;
    }
    return read(0, buffer, n);
}

bool InputFile::load()
{
    unmapLeased();
    if (_buffer || _size == 0)
        return _fd != -1;
    if (_size > SIZE_MAX)
        return failWith(ENOMEM);
    // Read, not mapped: a mapped file that someone else truncates raises
    // SIGBUS in the caller. A file that shrank since open() is refused:
    // callers have decided on its size already.
    _buffer.reset(new (std::nothrow) std::uint8_t[_size]);
    if (!_buffer)
        return failWith(ENOMEM);
    if (read(0, _buffer.get(), static_cast<std::size_t>(_size)) != _size) {
        _buffer.reset();
        return false;
    }
    _data = _buffer.get();
    return true;
}

const std::uint8_t* FileReader::next(std::size_t max, std::size_t& n)
{
    n = static_cast<std::size_t>(std::min<std::uint64_t>(max, _file._size - _offset));
    if (n > _capacity) {
        _chunk.reset(new (std::nothrow) std::uint8_t[n]);
        _capacity = _chunk ? n : 0;
    }
    // A file cut short since it was opened gives nothing more.
    if ((n > _capacity && !failWith(ENOMEM)) || _file.read(_offset, _chunk.get(), n) != n) {
        _failed = true;
        n = 0;
    }
    _offset += n;
    return _chunk.get();
}

} // namespace korv::platform
