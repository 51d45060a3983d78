// Where encoded or decoded bytes go (a file being written or a memory
// buffer) and where bytes to encode come from. Internal: not installed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace korv {

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Appends n bytes; false when they could not be written.
    virtual bool write(const void* data, std::size_t n) = 0;
    // Replaces the content by n writable bytes that the caller fills in
    // place; nullptr when the sink cannot offer them (use write() instead).
    virtual std::uint8_t* map(std::size_t n) = 0;
    // Ends a map(): the first used bytes become the whole content.
    virtual bool unmap(std::size_t used) = 0;
    // Drops everything written so far.
    virtual bool reset() = 0;
};

// Content in memory that grows as it is written: Bytes is a contiguous byte
// container with size(), resize(), data() and clear() (std::vector,
// QByteArray). Content the container cannot hold, or no memory for it
// (a 32-bit process, a limit on the address space), is a failed write or
// map, never an exception or a wrapped size.
template <class Bytes>
class GrowingSink final : public ByteSink {
public:
    bool write(const void* data, std::size_t n) override
    {
        if (n == 0)
            return true;
        const std::size_t old = static_cast<std::size_t>(bytes.size());
        if (n > kMaxSize - old || !resize(old + n))
            return false;
        std::memcpy(reinterpret_cast<std::uint8_t*>(bytes.data()) + old, data, n);
        return true;
    }
    std::uint8_t* map(std::size_t n) override
    {
        return resize(n) ? reinterpret_cast<std::uint8_t*>(bytes.data()) : nullptr;
    }
    bool unmap(std::size_t used) override { return resize(used); }
    bool reset() override
    {
        bytes.clear();
        return true;
    }

    Bytes bytes;

private:
    using Size = decltype(std::declval<Bytes&>().size());
    // The largest size the container's size type holds (QByteArray's is signed).
    static constexpr std::size_t kMaxSize
        = std::min<std::uintmax_t>(std::numeric_limits<Size>::max(), std::numeric_limits<std::size_t>::max());

    bool resize(std::size_t n)
    {
        if (n > kMaxSize)
            return false;
        try {
            bytes.resize(static_cast<Size>(n));
        } catch (const std::bad_alloc&) {
            return false;
        } catch (const std::length_error&) {
            return false;
        }
        return true;
    }
};

using MemorySink = GrowingSink<std::vector<std::uint8_t>>;

// Content in memory of a fixed capacity, the caller's: a write beyond it fails.
class BufferSink final : public ByteSink {
public:
    BufferSink(std::uint8_t* buffer, std::size_t capacity)
        : _buffer(buffer)
        , _capacity(capacity)
    {
    }
    bool write(const void* data, std::size_t n) override
    {
        if (n > _capacity - _size)
            return false;
        if (n > 0)
            std::memcpy(_buffer + _size, data, n);
        _size += n;
        return true;
    }
    std::uint8_t* map(std::size_t n) override { return n <= _capacity ? _buffer : nullptr; }
    bool unmap(std::size_t used) override
    {
        _size = used;
        return true;
    }
    bool reset() override
    {
        _size = 0;
        return true;
    }
    std::size_t size() const { return _size; }

private:
    std::uint8_t* _buffer;
    std::size_t _capacity;
    std::size_t _size = 0;
};

// Bytes handed out in order, a chunk at a time.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // The next bytes, at most max of them, valid until the next call; n is
    // set to their count: 0 when none are left or they cannot be read.
    virtual const std::uint8_t* next(std::size_t max, std::size_t& n) = 0;
};

class MemorySource final : public ByteSource {
public:
    MemorySource(const std::uint8_t* data, std::size_t size)
        : _data(data)
        , _left(size)
    {
    }
    const std::uint8_t* next(std::size_t max, std::size_t& n) override
    {
        n = max < _left ? max : _left;
        const std::uint8_t* p = _data;
        _data += n;
        _left -= n;
        return p;
    }

private:
    const std::uint8_t* _data;
    std::size_t _left;
};

} // namespace korv
