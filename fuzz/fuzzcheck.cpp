// The reference decoding used by the fuzz targets.
#include "fuzzcheck.h"

#include <algorithm>
#include <iterator>
#include <string>

#include <zlib.h>

namespace korvfuzz {

std::string zlibRefusal(const std::uint8_t* stream, std::size_t n)
{
    z_stream z {};
    if (inflateInit(&z) != Z_OK)
        return {};
    std::vector<std::uint8_t> out(1 << 16);
    z.next_in = const_cast<Bytef*>(stream);
    z.avail_in = uInt(n);
    int rc;
    do {
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        rc = inflate(&z, Z_NO_FLUSH);
    } while (rc == Z_OK);
    const std::string message = rc == Z_DATA_ERROR && z.msg ? z.msg : "";
    inflateEnd(&z);
    return message;
}

namespace {

bool isLenientRefusal(const std::string& message)
{
    // zlib refuses Huffman code sets that are incomplete or overshoot and
    // code-length runs past the list; libdeflate and ISA-L decode with them,
    // and the Adler-32 still guards what comes out.
    static const char* const lenient[] = { "invalid distances set", "invalid literal/lengths set",
        "invalid code lengths set", "invalid bit length repeat" };
    return std::find(std::begin(lenient), std::end(lenient), message) != std::end(lenient);
}

} // namespace

Expected referenceDecode(const std::uint8_t* block, std::size_t n, std::vector<std::uint8_t>& plain)
{
    plain.clear();
    if (n < 4)
        return Expected::Corrupt;
    const bool zeroLength = block[0] == 0 && block[1] == 0 && block[2] == 0 && block[3] == 0;
    const std::uint8_t* stream = block + 4;
    const std::size_t streamSize = n - 4;
    if (streamSize == 0)
        return zeroLength ? Expected::Ok : Expected::Corrupt;

    // Deflate expands at most about 1032:1; grow the output until it fits.
    const std::size_t bound = streamSize * 1032 + 1024;
    std::size_t capacity = 1 << 16;
    for (;;) {
        plain.resize(capacity);
        uLongf produced = static_cast<uLongf>(capacity);
        uLong consumed = static_cast<uLong>(streamSize);
        const int rc = uncompress2(plain.data(), &produced, stream, &consumed);
        if (rc == Z_OK) {
            plain.resize(produced);
            return Expected::Ok;
        }
        if (rc == Z_BUF_ERROR && capacity < bound) {
            capacity = std::min(capacity * 4, bound);
            continue;
        }
        plain.clear();
        if (rc == Z_DATA_ERROR && zeroLength)
            return Expected::Ok;
        if (rc == Z_DATA_ERROR)
            return isLenientRefusal(zlibRefusal(stream, streamSize)) ? Expected::Either : Expected::Corrupt;
        return Expected::Undecided;
    }
}

} // namespace korvfuzz
