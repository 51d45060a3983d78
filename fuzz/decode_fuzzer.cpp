// Fuzz target: a crypted file's content after the marker (length and zlib
// stream) decoded as decrypt decodes it, by the streaming decoder (whole,
// and handed out in pieces of a few bytes), in memory and through
// KFsCryptedDevice. Properties: each result agrees with zlib's uncompress
// (damage is a failure, never a short content), and a decoded block crypts
// to a file that decodes to the same bytes. The system's zlib and libdeflate
// carry no coverage, so half of the mutations work on the plain content and
// deflate it again with varied parameters: valid streams of every kind, not
// only broken ones.
#include "KFsCryptedDevice.h"
#include "cryptedformat_p.h"
#include "fuzzcheck.h"
#include "inflater_p.h"

#include <QBuffer>

#include <algorithm>
#include <cstring>
#include <string>
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

// The streaming decoder on the stream alone, and the in-memory decode and
// the device on the whole file.
void checkStreaming(const std::uint8_t* data, std::size_t size, korvfuzz::Expected expected,
    const std::vector<std::uint8_t>& plain)
{
    if (size < format::kLengthSize)
        return;
    // zlib's answer for the stream, whatever the stored length says.
    const bool zeroLength = data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 0;
    std::vector<std::uint8_t> nonZeroLength(data, data + size), streamPlain = plain;
    nonZeroLength[3] |= 1;
    const korvfuzz::Expected stream
        = zeroLength ? korvfuzz::referenceDecode(nonZeroLength.data(), size, streamPlain) : expected;
    if (stream != korvfuzz::Expected::Ok && stream != korvfuzz::Expected::Corrupt)
        return;
    MemorySource source(data + format::kLengthSize, size - format::kLengthSize);
    MemorySink sink;
    const format::DecodeResult result = format::inflateStream(source, sink);
    KORV_FUZZ_CHECK(result
        == (stream == korvfuzz::Expected::Ok ? format::DecodeResult::Ok : format::DecodeResult::Corrupt));
    KORV_FUZZ_CHECK(result != format::DecodeResult::Ok || sink.bytes == streamPlain);

    QByteArray file = QByteArray("kr") + QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto asArray = [](const std::vector<std::uint8_t>& v) {
        return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size()));
    };
    if (expected == korvfuzz::Expected::Ok || expected == korvfuzz::Expected::Corrupt) {
        bool ok = false;
        const QByteArray decoded = KFsCryptedDevice::decode(file, &ok);
        KORV_FUZZ_CHECK(ok == (expected == korvfuzz::Expected::Ok));
        KORV_FUZZ_CHECK(decoded == (ok ? asArray(plain) : QByteArray()));
    }

    // Reads of varied sizes until the end or a failure.
    QBuffer buffer(&file);
    buffer.open(QIODevice::ReadOnly);
    KFsCryptedDevice device(&buffer);
    KORV_FUZZ_CHECK(device.open(QIODevice::ReadOnly));
    QByteArray content, piece(1 << 17, Qt::Uninitialized);
    qint64 done = 0, got = 0;
    for (std::size_t i = 0;; ++i) {
        got = device.read(piece.data(), 1 + data[i % size] * 401);
        if (got <= 0)
            break;
        content.append(piece.constData(), got);
        done += got;
    }
    if (stream == korvfuzz::Expected::Ok) {
        KORV_FUZZ_CHECK(got == 0 && content == asArray(streamPlain));
        // Back to a point and on from there, as a fresh read would go.
        const qint64 at = done > 0 ? qint64(data[size - 1]) * 131 % done : 0;
        KORV_FUZZ_CHECK(device.seek(at) && device.read(300) == content.mid(at, 300));
    } else {
        // A zero length ahead of what is no stream is the empty content.
        KORV_FUZZ_CHECK(got < 0 || (zeroLength && done == 0));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    MemorySink sink;
    const format::DecodeResult result = format::decodeBlock(data, size, sink);
    KORV_FUZZ_CHECK(result != format::DecodeResult::SinkFailed);

    // Where zlib and the other decoders may differ (Either: Huffman code sets
    // zlib refuses), the streaming decode need not agree with the in-memory one.
    MemorySink streamed;
    TrickleSource source(data, size);
    const format::DecodeResult streamedResult = format::decodeBlock(source, size, streamed);

    std::vector<std::uint8_t> expected;
    const korvfuzz::Expected reference = korvfuzz::referenceDecode(data, size, expected);
    checkStreaming(data, size, reference, expected);
    switch (reference) {
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
