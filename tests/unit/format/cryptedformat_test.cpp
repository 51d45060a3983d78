// The crypted format: fixed vectors, identity with qCompress, and decoding of
// damaged, truncated and misleading blocks.
#include "cryptedformat_p.h"
#include "testutil.h"

#include <zlib.h>

using namespace korv;
using namespace korvtest;

namespace {

std::string encoded(const std::string& plain)
{
    MemorySink sink;
    EXPECT_TRUE(format::encode(reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size(), sink));
    return std::string(sink.bytes.begin(), sink.bytes.end());
}

// Decodes a whole crypted file's bytes (marker included).
format::DecodeResult decoded(const std::string& file, std::string& plain)
{
    MemorySink sink;
    EXPECT_TRUE(format::hasMarker(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()));
    auto r
        = format::decodeBlock(reinterpret_cast<const std::uint8_t*>(file.data()) + 2, file.size() - 2, sink);
    plain.assign(sink.bytes.begin(), sink.bytes.end());
    return r;
}

// A sink that remembers the largest region it was asked to map.
class RecordingSink final : public ByteSink {
public:
    bool write(const void* d, std::size_t n) override { return inner.write(d, n); }
    std::uint8_t* map(std::size_t n) override
    {
        largestMap = std::max(largestMap, n);
        return inner.map(n);
    }
    bool unmap(std::size_t used) override { return inner.unmap(used); }
    bool reset() override { return inner.reset(); }
    MemorySink inner;
    std::size_t largestMap = 0;
};

} // namespace

TEST(CryptedFormat, FixedVectors)
{
    EXPECT_EQ(toHex(encoded("123456789")), "6b7200000009789c33343236313533b7b00400091e01de");
    EXPECT_EQ(toHex(encoded("")), "6b7200000000");
}

TEST(CryptedFormat, EncodingIsByteIdenticalToQCompress)
{
    for (std::size_t size : { 1u, 2u, 1000u, 65536u, 1u << 20, (1u << 20) + 17, 3u << 20 }) {
        for (const std::string& plain :
            { textContent(size, unsigned(size)), noiseContent(size, unsigned(size)) }) {
            const std::string crypted = encoded(plain);
            ASSERT_EQ(crypted, qtCrypted(plain)) << "size " << size;
            std::string back;
            ASSERT_EQ(decoded(crypted, back), format::DecodeResult::Ok);
            ASSERT_EQ(back, plain);
        }
    }
}

// Plain bytes handed out a few at a time, in uneven pieces.
class ChoppySource final : public ByteSource {
public:
    explicit ChoppySource(const std::string& bytes)
        : _inner(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())
    {
    }
    const std::uint8_t* next(std::size_t max, std::size_t& n) override
    {
        static const std::size_t pieces[] = { 1, 7, 4093, 65537, 300, 1 << 20, 2 };
        return _inner.next(std::min(max, pieces[_calls++ % 7]), n);
    }

private:
    MemorySource _inner;
    std::size_t _calls = 0;
};

// deflate's output must not depend on how the plain bytes arrive, and a
// source that gives fewer bytes than announced fails the encoding.
TEST(CryptedFormat, EncodingFromPiecesIsTheSame)
{
    for (const std::string& plain : { textContent(3u << 20, 5), noiseContent(1500000, 5) }) {
        ChoppySource source(plain);
        MemorySink sink;
        ASSERT_TRUE(format::encode(source, plain.size(), sink));
        EXPECT_TRUE(std::string(sink.bytes.begin(), sink.bytes.end()) == qtCrypted(plain));
        ChoppySource shortSource(plain);
        MemorySink unused;
        EXPECT_FALSE(format::encode(shortSource, plain.size() + 1, unused));
    }
}

TEST(CryptedFormat, StoredLengthIsOnlyAHint)
{
    const std::string plain = textContent(200000);
    const std::string good = qtCrypted(plain);
    for (std::uint32_t length : { 0u, 1u, 199999u, 200001u, 10000000u, 0xFFFFFFFFu }) {
        std::string back;
        EXPECT_EQ(decoded(withStoredLength(good, length), back), format::DecodeResult::Ok) << length;
        EXPECT_EQ(back, plain) << length;
    }
}

TEST(CryptedFormat, ImplausibleLengthIsNeverAllocated)
{
    // Ten bytes that claim 4 GiB.
    const std::string file = fromHex("6b72ffffffff789c0300");
    RecordingSink sink;
    format::decodeBlock(reinterpret_cast<const std::uint8_t*>(file.data()) + 2, file.size() - 2, sink);
    EXPECT_LT(sink.largestMap, 1u << 20);
}

// A container whose size type is narrower than the content, as QByteArray's
// is for content past 2 GiB on a 32-bit build.
struct NarrowBytes {
    std::vector<std::uint8_t> v;
    std::uint16_t size() const { return std::uint16_t(v.size()); }
    void resize(std::uint16_t n) { v.resize(n); }
    std::uint8_t* data() { return v.data(); }
    void clear() { v.clear(); }
};

TEST(CryptedFormat, ContentAMemorySinkCannotHoldFailsTheDecode)
{
    const std::string file = qtCrypted(textContent(200000));
    GrowingSink<NarrowBytes> sink;
    EXPECT_EQ(format::decodeBlock(reinterpret_cast<const std::uint8_t*>(file.data()) + 2, file.size() - 2, sink),
        format::DecodeResult::SinkFailed);
    EXPECT_LE(sink.bytes.v.size(), 0xFFFFu);
}

TEST(CryptedFormat, BytesAfterTheStreamAreIgnored)
{
    std::string back;
    EXPECT_EQ(decoded(qtCrypted("hello world") + "\x12\x34trailing", back), format::DecodeResult::Ok);
    EXPECT_EQ(back, "hello world");
    // The empty content: a zero length with no stream, trailer or not.
    EXPECT_EQ(decoded(fromHex("6b7200000000"), back), format::DecodeResult::Ok);
    EXPECT_EQ(back, "");
    EXPECT_EQ(decoded(fromHex("6b7200000000abcd"), back), format::DecodeResult::Ok);
    EXPECT_EQ(back, "");
}

TEST(CryptedFormat, DamagedBlocksAreCorrupt)
{
    const std::string plain = textContent(50000);
    const std::string good = qtCrypted(plain);
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x55;
    std::string badChecksum = good;
    badChecksum.back() ^= 1;

    const std::string cases[] = {
        "kr", // the marker alone
        fromHex("6b720000"), // fewer than four length bytes
        fromHex("6b7200000005"), // a length but no stream
        good.substr(0, good.size() / 2), // truncated stream
        good.substr(0, good.size() - 1), // truncated checksum
        flipped,
        badChecksum,
        fromHex("6b7200000003") + "not a zlib stream",
    };
    for (const std::string& file : cases) {
        std::string back;
        EXPECT_EQ(decoded(file, back), format::DecodeResult::Corrupt) << toHex(file.substr(0, 16));
    }
}

TEST(CryptedFormat, ZlibHeaderIsCheckedAsZlibDoes)
{
    const std::string plain = textContent(30000);
    const std::string good = qtCrypted(plain);
    std::string badCheckBits = good;
    badCheckBits[7] = char(0x9d);
    // The preset dictionary flag (0x78bb passes the check bits) on a stream
    // that is otherwise whole: zlib asks for a dictionary, so it is corrupt.
    const std::string presetDictionary = good.substr(0, 7) + char(0xbb) + good.substr(8);
    for (const std::string& file : { badCheckBits, presetDictionary }) {
        std::string back;
        EXPECT_EQ(decoded(file, back), format::DecodeResult::Corrupt) << toHex(file.substr(0, 12));
    }
}

TEST(CryptedFormat, StreamsWithSmallWindowsDecodeAsZlibDoes)
{
    // A 512-byte window: not what qCompress writes, but a valid zlib stream.
    const std::string plain = textContent(100000);
    z_stream z {};
    ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 9, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(compressBound(uLong(plain.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    z.avail_in = uInt(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);

    std::string back;
    EXPECT_EQ(decoded(withStoredLength("kr....", std::uint32_t(plain.size())) + out, back),
        format::DecodeResult::Ok);
    EXPECT_EQ(back, plain);
}

TEST(CryptedFormat, MarkerIsTheFirstTwoBytesOnly)
{
    auto marked = [](const std::string& s) {
        return format::hasMarker(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    EXPECT_TRUE(marked("kr"));
    EXPECT_TRUE(marked("kr anything"));
    EXPECT_FALSE(marked(""));
    EXPECT_FALSE(marked("k"));
    EXPECT_FALSE(marked("KR"));
    EXPECT_FALSE(marked(" kr"));
}
