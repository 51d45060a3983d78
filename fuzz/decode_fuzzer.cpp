// Fuzz target: a crypted file's content after the marker (length and zlib
// stream) decoded as decrypt decodes it. Properties: the result agrees with
// zlib's uncompress, the block handed out in pieces of a few bytes decodes
// as it arrives to the same result, and a decoded block crypts to a file that
// decodes to the same bytes. The system's zlib and libdeflate carry no coverage, so half of
// the mutations work on the plain content and deflate it again with varied
// parameters: valid streams of every kind, not only broken ones.
#include "cryptedformat_p.h"
#include "fuzzcheck.h"

#include <algorithm>
#include <cstring>
#include <random>

#include <zlib.h>

using namespace korv;

namespace {

// The bytes in pieces of one to seven bytes, whatever the decoder asks for.
class TrickleSource final : public ByteSource {
public:
    TrickleSource(const std::uint8_t* data, std::size_t size)
        : _data(data)
        , _left(size)
    {
    }
    const std::uint8_t* next(std::size_t max, std::size_t& n) override
    {
        n = std::min({ max, _left, std::size_t(1 + _calls++ % 7) });
        const std::uint8_t* p = _data;
        _data += n;
        _left -= n;
        return p;
    }

private:
    const std::uint8_t* _data;
    std::size_t _left;
    std::size_t _calls = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    MemorySink sink;
    const format::DecodeResult result = format::decodeBlock(data, size, sink);
    KORV_FUZZ_CHECK(result != format::DecodeResult::SinkFailed);

    // The streaming decoder is zlib's: where zlib and libdeflate may differ
    // (Either) it need not agree with the in-memory decode.
    MemorySink streamed;
    TrickleSource source(data, size);
    const format::DecodeResult streamedResult = format::decodeBlock(source, size, streamed);

    std::vector<std::uint8_t> expected;
    switch (korvfuzz::referenceDecode(data, size, expected)) {
    case korvfuzz::Expected::Ok:
        KORV_FUZZ_CHECK(result == format::DecodeResult::Ok && streamedResult == result);
        KORV_FUZZ_CHECK(sink.bytes == expected && streamed.bytes == expected);
        break;
    case korvfuzz::Expected::Corrupt:
        KORV_FUZZ_CHECK(result == format::DecodeResult::Corrupt && streamedResult == result);
        break;
    case korvfuzz::Expected::Either:
    case korvfuzz::Expected::Undecided:
        break;
    }
    if (result != format::DecodeResult::Ok)
        return 0;

    MemorySink crypted;
    KORV_FUZZ_CHECK(format::encode(sink.bytes.data(), sink.bytes.size(), crypted));
    KORV_FUZZ_CHECK(format::hasMarker(crypted.bytes.data(), crypted.bytes.size()));
    const std::size_t n = sink.bytes.size();
    const std::uint8_t length[]
        = { std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n) };
    KORV_FUZZ_CHECK(std::equal(length, length + 4, crypted.bytes.begin() + format::kMarkerSize));
    MemorySink again;
    KORV_FUZZ_CHECK(format::decodeBlock(crypted.bytes.data() + format::kMarkerSize,
                        crypted.bytes.size() - format::kMarkerSize, again)
        == format::DecodeResult::Ok);
    KORV_FUZZ_CHECK(again.bytes == sink.bytes);
    return 0;
}

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

extern "C" std::size_t LLVMFuzzerCustomMutator(
    std::uint8_t* data, std::size_t size, std::size_t maxSize, unsigned seed)
{
    std::minstd_rand random(seed);
    if (random() % 2 == 0)
        return LLVMFuzzerMutate(data, size, maxSize);

    std::vector<std::uint8_t> plain;
    if (korvfuzz::referenceDecode(data, size, plain) != korvfuzz::Expected::Ok)
        plain.clear();
    const std::size_t used = std::min<std::size_t>(plain.size(), 1 << 16);
    plain.resize(used + 256);
    plain.resize(LLVMFuzzerMutate(plain.data(), used, plain.size()));

    z_stream z {};
    const int level = int(random() % 10), windowBits = 9 + int(random() % 7);
    const int memLevel = 1 + int(random() % 9), strategy = int(random() % 5);
    if (deflateInit2(&z, level, Z_DEFLATED, windowBits, memLevel, strategy) != Z_OK)
        return LLVMFuzzerMutate(data, size, maxSize);
    std::vector<std::uint8_t> out(4 + deflateBound(&z, uLong(plain.size())));
    z.next_in = plain.data();
    z.avail_in = uInt(plain.size());
    z.next_out = out.data() + 4;
    z.avail_out = uInt(out.size() - 4);
    const bool done = deflate(&z, Z_FINISH) == Z_STREAM_END;
    out.resize(4 + z.total_out);
    deflateEnd(&z);
    if (!done || out.size() > maxSize)
        return LLVMFuzzerMutate(data, size, maxSize);

    // The stored length: right most of the time, else short, long or zero.
    std::uint32_t length = std::uint32_t(plain.size());
    switch (random() % 8) {
    case 0:
        length -= 1;
        break;
    case 1:
        length += 1 + random() % 4096;
        break;
    case 2:
        length = 0;
        break;
    default:
        break;
    }
    for (int i = 0; i < 4; ++i)
        out[i] = std::uint8_t(length >> (24 - 8 * i));
    std::memcpy(data, out.data(), out.size());
    return out.size();
}
