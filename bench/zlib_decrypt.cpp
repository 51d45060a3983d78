// Peer: decrypts with zlib's uncompress() on the whole buffer, sized from the
// stored length, the way a whole-buffer zlib tool does it.
#include <zlib.h>

#include "peerio.h"

int main(int argc, char* argv[])
{
    return peer::decryptMain(
        argc, argv, [](const std::uint8_t* stream, std::size_t n, std::vector<std::uint8_t>& out) {
            uLongf made = out.size();
            return uncompress(out.data(), &made, stream, uLong(n)) == Z_OK ? (long long)made : -1;
        });
}
