// Where encoded or decoded bytes go (a file being written or a memory
// buffer) and where bytes to encode come from. Internal: not installed.
#pragma once

#include <cstddef>
#include <cstdint>
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

class MemorySink final : public ByteSink {
public:
    bool write(const void* data, std::size_t n) override
    {
        auto p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + n);
        return true;
    }
    std::uint8_t* map(std::size_t n) override
    {
        bytes.assign(n, 0);
        return bytes.data();
    }
    bool unmap(std::size_t used) override
    {
        bytes.resize(used);
        return true;
    }
    bool reset() override
    {
        bytes.clear();
        return true;
    }

    std::vector<std::uint8_t> bytes;
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
