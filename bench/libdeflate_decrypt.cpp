// Peer: decrypts with libdeflate on the whole buffer, sized from the stored
// length: the fastest whole-buffer design without file mappings.
#include <libdeflate.h>

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
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    std::size_t outSize = 0;
    if (!d
        || libdeflate_zlib_decompress(d, in.data() + 6, in.size() - 6, out.data(), out.size(), &outSize)
            != LIBDEFLATE_SUCCESS)
        return 1;
    libdeflate_free_decompressor(d);
    return peer::writeWhole(argv[2], out.data(), outSize) ? 0 : 1;
}
