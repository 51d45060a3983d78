// CRC-16/X.25, the checksum of the trailer (the same values as qChecksum),
// computed incrementally so that a file can be summed a piece at a time.
// Internal: not installed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korv {

class Crc16X25 {
public:
    // Adds n more bytes to the sum.
    void update(const std::uint8_t* data, std::size_t n);
    // The checksum of every byte added so far (0 for none).
    std::uint16_t value() const { return static_cast<std::uint16_t>(_state ^ 0xFFFF); }

private:
    std::uint16_t _state = 0xFFFF;
};

} // namespace korv
