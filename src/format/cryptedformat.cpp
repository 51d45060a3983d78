// Encoding and decoding of the crypted format. Encoding runs zlib's deflate
// with qCompress's parameters; decoding runs libdeflate on the whole block
// straight into the output when the stored length is plausible, and the
// streaming decoder (inflater.cpp) when it is not.
#include "cryptedformat_p.h"

#include "inflater_p.h"

#include "bigendian_p.h"
#include "cancel_p.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include <libdeflate.h>
#include <zlib.h>

namespace korv::format {

namespace {

constexpr std::uint8_t kMarker[] = { 'k', 'r' };
constexpr std::size_t kChunk = 1 << 20;
// Deflate cannot expand data by more than about 1032:1; a stored length
// beyond that is a lie and is not used to size anything.
constexpr std::uint64_t kMaxExpansion = 1032;
// The zlib header byte of a deflate stream with a 32 KiB window, the only
// kind qCompress writes; libdeflate decodes these exactly as zlib does.
constexpr std::uint8_t kZlibHeaderDeflate32K = 0x78;
// The two header bytes zlib writes for a 32 KiB window at the default level.
constexpr std::uint8_t kZlibHeaderDefault[] = { kZlibHeaderDeflate32K, 0x9c };
constexpr int kDefaultMemLevel = 8;

enum class FastResult { Ok, TooSmall, Failed };

// Whole-buffer decode into a region of exactly `expected` bytes: the sink's
// own pages, or memory written to it at once when the content is small.
// libdeflate checks the zlib header and Adler-32 as zlib does.
FastResult decodeFast(const std::uint8_t* stream, std::size_t n, std::size_t expected, ByteSink& sink)
{
    const Decompressor lease = decompressor();
    libdeflate_decompressor* d = lease.get();
    if (!d)
        return FastResult::Failed;
    std::unique_ptr<std::uint8_t[]> memory;
    if (expected < kDecodeInMemoryBelow)
        memory.reset(new (std::nothrow) std::uint8_t[expected]);
    std::uint8_t* out = memory ? memory.get() : sink.map(expected);
    if (!out)
        return FastResult::Failed;
    // Passing inUsed lets bytes after the stream be, as zlib does.
    std::size_t inUsed = 0, outUsed = 0;
    const libdeflate_result r = libdeflate_zlib_decompress_ex(d, stream, n, out, expected, &inUsed, &outUsed);
    const bool ok = r == LIBDEFLATE_SUCCESS;
    if (memory) {
        if (ok)
            return sink.reset() && sink.write(out, outUsed) ? FastResult::Ok : FastResult::Failed;
    } else {
        if (ok)
            return sink.unmap(outUsed) ? FastResult::Ok : FastResult::Failed;
        sink.unmap(0);
    }
    return r == LIBDEFLATE_INSUFFICIENT_SPACE ? FastResult::TooSmall : FastResult::Failed;
}

// Where the zlib stream starts in the block: after the stored length.
constexpr std::uint64_t kStreamOffset = kLengthSize;

DecodeResult corrupt(Damage* damage, std::uint64_t offset, const char* what)
{
    if (damage)
        *damage = { offset, what };
    return DecodeResult::Corrupt;
}

// The one streaming decoder of the library: every decode that does not run
// on the whole block at once comes here. Damage is reported from the start
// of the block.
DecodeResult decodeStreaming(ByteSource& stream, ByteSink& sink, Damage* damage)
{
    const DecodeResult result = inflateStream(stream, sink, damage);
    if (result == DecodeResult::Corrupt && damage)
        damage->offset += kStreamOffset;
    return result;
}

// A stream in memory: the fast decoder where the stored length allows it,
// else (or when it fails) the streaming one, as limit permits.
DecodeResult decodeInMemory(const std::uint8_t* stream, std::size_t n, std::uint32_t hint, ByteSink& sink,
    DecoderLimit limit, Damage* damage)
{
    const bool plausible = hint > 0 && hint <= std::uint64_t(n) * kMaxExpansion + 1024;
    const bool fast = plausible && stream[0] == kZlibHeaderDeflate32K;
    if (limit.fastOnly && !(fast && hint <= limit.maxContent))
        return DecodeResult::NeedsStreaming;
    // The whole-buffer decoder cannot be stopped midway: asked before it
    // starts, and at the commit after it.
    if (cancelRequested())
        return DecodeResult::SinkFailed;
    if (fast) {
        switch (decodeFast(stream, n, hint, sink)) {
        case FastResult::Ok:
            return DecodeResult::Ok;
        case FastResult::TooSmall: // the stored length was short: stream it
        case FastResult::Failed: // the streaming decoder says what is wrong, and where
            break;
        }
    }
    if (limit.fastOnly)
        return sink.reset() ? DecodeResult::NeedsStreaming : DecodeResult::SinkFailed;
    MemorySource source(stream, n);
    return decodeStreaming(source, sink, damage);
}

// qCompress's empty content: a zero length and no stream.
DecodeResult emptyContent(std::uint32_t hint, ByteSink& sink, Damage* damage)
{
    if (hint != 0)
        return corrupt(damage, kLengthSize, "the compressed stream is missing");
    return sink.reset() ? DecodeResult::Ok : DecodeResult::SinkFailed;
}

} // namespace

libdeflate_decompressor* makeDecompressor()
{
    return libdeflate_alloc_decompressor();
}

void freeDecompressor(libdeflate_decompressor* d)
{
    libdeflate_free_decompressor(d);
}

bool hasMarker(const std::uint8_t* data, std::size_t n)
{
    return n >= kMarkerSize && data[0] == kMarker[0] && data[1] == kMarker[1];
}

Header parseHeader(const std::uint8_t* data, std::size_t n)
{
    Header header;
    header.crypted = hasMarker(data, n);
    if (header.crypted && n >= kHeaderSize)
        header.storedLength = readBigEndian32(data + kMarkerSize);
    return header;
}

bool encode(const std::uint8_t* plain, std::size_t n, ByteSink& sink)
{
    MemorySource source(plain, n);
    return encode(source, n, sink);
}

bool encode(ByteSource& source, std::uint64_t n, ByteSink& sink)
{
    if (n > kMaxPlainSize)
        return false;
    Encoder encoder(sink);
    if (!encoder.begin(static_cast<std::uint32_t>(n)))
        return false;
    // The plain bytes come a chunk at a time, summed and deflated while they
    // are in the cache.
    std::uint64_t left = n;
    while (left > 0) {
        if (cancelRequested())
            return false;
        std::size_t got = 0;
        const std::uint8_t* p
            = source.next(static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk)), got);
        if (got == 0 || !encoder.write(p, got))
            return false;
        left -= got;
    }
    return encoder.finish();
}

struct Encoder::Stream {
    z_stream z {};
    std::unique_ptr<std::uint8_t[]> buffer;
    ~Stream() { deflateEnd(&z); }
};

Encoder::Encoder(ByteSink& sink)
    : _sink(sink)
{
}

Encoder::~Encoder() = default;

bool Encoder::begin(std::uint32_t length)
{
    std::uint8_t header[kHeaderSize] = { kMarker[0], kMarker[1] };
    writeBigEndian32(header + kMarkerSize, length);
    return _ok = _ok && _sink.write(header, sizeof header);
}

bool Encoder::start()
{
    // Same parameters as compress2() at the default level, so the bytes are
    // identical to qCompress. deflate's output depends neither on how the
    // output space nor on how the input is handed to it (it waits for a full
    // lookahead before each decision), so the content may come in pieces of
    // any size. zlib's own header and trailer are written here: libdeflate's
    // Adler-32 costs less than the one zlib runs while it deflates.
    _stream.reset(new (std::nothrow) Stream);
    if (!_stream)
        return false;
    if (deflateInit2(
            &_stream->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, kDefaultMemLevel, Z_DEFAULT_STRATEGY)
        != Z_OK) {
        _stream.reset();
        return false;
    }
    _stream->buffer.reset(new (std::nothrow) std::uint8_t[kChunk]);
    return _stream->buffer && _sink.write(kZlibHeaderDefault, sizeof kZlibHeaderDefault);
}

bool Encoder::run(int flush)
{
    z_stream& z = _stream->z;
    int rc;
    do {
        z.next_out = _stream->buffer.get();
        z.avail_out = kChunk;
        rc = deflate(&z, flush);
        const std::size_t produced = kChunk - z.avail_out;
        if (rc == Z_STREAM_ERROR || (produced > 0 && !_sink.write(_stream->buffer.get(), produced)))
            return false;
    } while (z.avail_in > 0 || z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    return true;
}

bool Encoder::write(const std::uint8_t* plain, std::size_t n)
{
    if (!_ok || n == 0)
        return _ok;
    // qCompress writes the length alone for empty content, without a stream:
    // the stream starts with the first byte.
    if (n > kMaxPlainSize - _size || (!_stream && !start()))
        return _ok = false;
    _adler = libdeflate_adler32(_adler, plain, n);
    _size += n;
    z_stream& z = _stream->z;
    z.next_in = const_cast<Bytef*>(plain);
    while (_ok && n > 0) {
        z.avail_in = static_cast<uInt>(std::min<std::size_t>(n, 1u << 30));
        n -= z.avail_in;
        _ok = run(Z_NO_FLUSH);
    }
    return _ok;
}

bool Encoder::finish()
{
    if (!_ok || !_stream)
        return _ok;
    std::uint8_t trailer[4];
    writeBigEndian32(trailer, _adler);
    _ok = run(Z_FINISH) && _sink.write(trailer, sizeof trailer);
    _stream.reset();
    return _ok;
}

DecodeResult decodeBlock(const std::uint8_t* block, std::size_t n, ByteSink& sink, DecoderLimit limit, Damage* damage)
{
    // stored length
    if (n < kLengthSize)
        return corrupt(damage, n, "the stored length is cut short");
    const std::uint32_t hint = readBigEndian32(block);
    const std::uint8_t* stream = block + kLengthSize;
    const std::size_t streamSize = n - kLengthSize;

    if (streamSize == 0)
        return emptyContent(hint, sink, damage);

    DecodeResult result = decodeInMemory(stream, streamSize, hint, sink, limit, damage);
    if (result == DecodeResult::Corrupt && corruptStreamIsEmpty(hint))
        return sink.reset() ? DecodeResult::Ok : DecodeResult::SinkFailed;
    return result;
}

DecodeResult decodeBlock(ByteSource& block, std::uint64_t n, ByteSink& sink, Damage* damage)
{
    // stored length, in as many pieces as the source hands out
    std::uint8_t length[kLengthSize];
    std::size_t have = 0;
    for (std::size_t got = 1; have < kLengthSize && got > 0 && n >= kLengthSize; have += got) {
        const std::uint8_t* p = block.next(kLengthSize - have, got);
        std::copy(p, p + got, length + have);
    }
    if (have < kLengthSize)
        return corrupt(damage, have, "the stored length is cut short");
    const std::uint32_t hint = readBigEndian32(length);
    if (n == kLengthSize)
        return emptyContent(hint, sink, damage);
    DecodeResult result = decodeStreaming(block, sink, damage);
    if (result == DecodeResult::Corrupt && corruptStreamIsEmpty(hint))
        return sink.reset() ? DecodeResult::Ok : DecodeResult::SinkFailed;
    return result;
}

} // namespace korv::format
