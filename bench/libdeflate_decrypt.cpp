// Peer: decrypts with libdeflate on the whole buffer, sized from the stored
// length: the fastest whole-buffer design without file mappings.
#include <libdeflate.h>

#include "peerio.h"

int main(int argc, char* argv[])
{
    return peer::decryptMain(
        argc, argv, [](const std::uint8_t* stream, std::size_t n, std::vector<std::uint8_t>& out) {
            libdeflate_decompressor* d = libdeflate_alloc_decompressor();
            std::size_t made = 0;
            const bool ok = d
                && libdeflate_zlib_decompress(d, stream, n, out.data(), out.size(), &made)
                    == LIBDEFLATE_SUCCESS;
            libdeflate_free_decompressor(d);
            return ok ? (long long)made : -1;
        });
}
