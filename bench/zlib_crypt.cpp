// Peer: crypts with zlib's compress2() at the default level on the whole
// buffer, writing "kr", the length and the stream as the library does.
#include <zlib.h>

#include "peerio.h"

int main(int argc, char* argv[])
{
    if (argc != 3)
        return peer::usage(argv[0]);
    std::vector<std::uint8_t> in;
    if (!peer::readWhole(argv[1], in) || in.size() > 0xFFFFFFFFu)
        return 1;
    const std::uint32_t n = std::uint32_t(in.size());
    uLongf streamSize = compressBound(n);
    std::vector<std::uint8_t> out(6 + streamSize);
    out[0] = 'k';
    out[1] = 'r';
    out[2] = std::uint8_t(n >> 24);
    out[3] = std::uint8_t(n >> 16);
    out[4] = std::uint8_t(n >> 8);
    out[5] = std::uint8_t(n);
    // qCompress writes only the length for empty content.
    if (n == 0)
        streamSize = 0;
    else if (compress2(out.data() + 6, &streamSize, in.data(), n, Z_DEFAULT_COMPRESSION) != Z_OK)
        return 1;
    return peer::writeWhole(argv[2], out.data(), 6 + streamSize) ? 0 : 1;
}
