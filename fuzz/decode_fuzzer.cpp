// Fuzz target: a crypted file's content after the marker (length and zlib
// stream) decoded as decrypt decodes it. Properties: the result agrees with
// zlib's uncompress, and a decoded block crypts to a file that decodes to the
// same bytes.
#include "cryptedformat_p.h"
#include "fuzzcheck.h"

#include <algorithm>

using namespace korv;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    MemorySink sink;
    const format::DecodeResult result = format::decodeBlock(data, size, sink);
    KORV_FUZZ_CHECK(result != format::DecodeResult::SinkFailed);

    std::vector<std::uint8_t> expected;
    switch (korvfuzz::referenceDecode(data, size, expected)) {
    case korvfuzz::Expected::Ok:
        KORV_FUZZ_CHECK(result == format::DecodeResult::Ok);
        KORV_FUZZ_CHECK(sink.bytes == expected);
        break;
    case korvfuzz::Expected::Corrupt:
        KORV_FUZZ_CHECK(result == format::DecodeResult::Corrupt);
        break;
    case korvfuzz::Expected::Undecided:
        break;
    }
    if (result != format::DecodeResult::Ok)
        return 0;

    MemorySink crypted;
    KORV_FUZZ_CHECK(format::encode(sink.bytes.data(), sink.bytes.size(), crypted));
    KORV_FUZZ_CHECK(format::hasMarker(crypted.bytes.data(), crypted.bytes.size()));
    const std::size_t n = sink.bytes.size();
    const std::uint8_t length[] = {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8),
                                   std::uint8_t(n)};
    KORV_FUZZ_CHECK(std::equal(length, length + 4, crypted.bytes.begin() + format::kMarkerSize));
    MemorySink again;
    KORV_FUZZ_CHECK(format::decodeBlock(crypted.bytes.data() + format::kMarkerSize,
                                        crypted.bytes.size() - format::kMarkerSize, again)
                    == format::DecodeResult::Ok);
    KORV_FUZZ_CHECK(again.bytes == sink.bytes);
    return 0;
}
