// Peer: decrypts with zlib's uncompress() on the whole buffer, sized from the
// stored length, the way a whole-buffer zlib tool does it.
#include <zlib.h>

#include "peerio.h"

int main(int argc, char* argv[])
{
    if (argc != 3)
        return peer::usage(argv[0]);
    std::vector<std::uint8_t> in;
    std::uint32_t length = 0;
    if (!peer::readWhole(argv[1], in) || !peer::plainLength(in, length))
        return 1;
    std::vector<std::uint8_t> out(length);
    uLongf outSize = length;
    if (uncompress(out.data(), &outSize, in.data() + 6, uLong(in.size() - 6)) != Z_OK)
        return 1;
    return peer::writeWhole(argv[2], out.data(), outSize) ? 0 : 1;
}
