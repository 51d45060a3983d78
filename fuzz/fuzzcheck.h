// What the fuzz targets share: a property check that stops the run, and the
// reference decoding of a crypted file's block by zlib's own uncompress.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A broken property is a finding: print it and abort so libFuzzer keeps the input.
#define KORV_FUZZ_CHECK(condition)                                                                           \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "property broken at %s:%d: %s\n", __FILE__, __LINE__, #condition);          \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

namespace korvfuzz {

enum class Expected {
    Ok, // the block decodes to `plain`
    Corrupt, // the block must be refused
    Either, // zlib refuses a Huffman code set that is incomplete or
            // overshoots, or a run of code lengths past the end of the
            // list; libdeflate and ISA-L decode with them, and the Adler-32
            // still guards what they decode: refused or decoded are both fine
    Undecided // zlib could not tell (out of memory): no comparison
};

// Why zlib refuses a zlib stream: its message, or empty.
std::string zlibRefusal(const std::uint8_t* stream, std::size_t n);

// What decoding the block after the marker must give, decided by zlib's
// uncompress2 alone: the 32-bit length is ignored except that a zero length
// with no valid stream behind it is the empty content.
Expected referenceDecode(const std::uint8_t* block, std::size_t n, std::vector<std::uint8_t>& plain);

} // namespace korvfuzz
