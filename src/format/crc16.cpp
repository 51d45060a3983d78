// CRC-16/X.25 (reflected polynomial 0x8408, initial 0xFFFF, final XOR 0xFFFF)
// eight bytes at a time through eight tables ("slicing-by-8") rather than
// byte by byte as qChecksum does.
#include "crc16_p.h"

#include <array>

namespace korv {

namespace {

constexpr std::uint16_t kPolynomial = 0x8408;
constexpr int kSlices = 8;

using Tables = std::array<std::array<std::uint16_t, 256>, kSlices>;

// tables[0][b] is the CRC of byte b; tables[k][b] that of b followed by k
// zero bytes, so eight bytes are folded in with eight lookups.
constexpr Tables makeTables()
{
    Tables t {};
    for (unsigned b = 0; b < 256; ++b) {
        std::uint16_t crc = static_cast<std::uint16_t>(b);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>(crc & 1 ? (crc >> 1) ^ kPolynomial : crc >> 1);
        t[0][b] = crc;
    }
    for (int k = 1; k < kSlices; ++k)
        for (unsigned b = 0; b < 256; ++b)
            t[k][b] = static_cast<std::uint16_t>((t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF]);
    return t;
}

constexpr Tables kTables = makeTables();

} // namespace

void Crc16X25::update(const std::uint8_t* p, std::size_t n)
{
    const Tables& t = kTables;
    std::uint32_t crc = _state;
    for (; n >= kSlices; n -= kSlices, p += kSlices) {
        crc ^= std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8);
        crc = t[7][crc & 0xFF] ^ t[6][crc >> 8] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^ t[2][p[5]]
            ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; n > 0; --n, ++p)
        crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
    _state = static_cast<std::uint16_t>(crc);
}

} // namespace korv
