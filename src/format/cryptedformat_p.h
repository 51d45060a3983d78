// The crypted file format: its header, its encoder and its decoders, the one
// place that knows it (docs/formats.md describes it). Internal: not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "bytesink_p.h"
#include "pool_p.h"

struct libdeflate_decompressor;

namespace korv::format {

libdeflate_decompressor* makeDecompressor();
void freeDecompressor(libdeflate_decompressor* d);

// A libdeflate decompressor for one decode; get() is nullptr when none can be made.
using Decompressors = Pool<libdeflate_decompressor, makeDecompressor, freeDecompressor>;
using Decompressor = Decompressors::Lease;
inline Decompressor decompressor()
{
    return Decompressor(Decompressors::instance());
}

constexpr std::size_t kMarkerSize = 2;
constexpr std::size_t kLengthSize = 4;
// The largest plain content whose length the format can store.
constexpr std::uint64_t kMaxPlainSize = 0xFFFFFFFFull;

constexpr std::size_t kHeaderSize = kMarkerSize + kLengthSize;

// True when the first bytes of a file are the marker.
bool hasMarker(const std::uint8_t* data, std::size_t n);

// What the first bytes of a file say, read without decoding anything.
struct Header {
    bool crypted = false;
    // The stored plain length, a hint only; -1 when the file is plain or too
    // short to hold it.
    std::int64_t storedLength = -1;
};
// Parses the first n bytes of a file (kHeaderSize of them are enough).
Header parseHeader(const std::uint8_t* data, std::size_t n);

// qCompress stores empty content as a zero length and no stream. A zero
// length ahead of bytes that do not decode (a checksum trailer, say) is the
// empty content too: true for a stored length that makes a corrupt stream
// read as empty.
constexpr bool corruptStreamIsEmpty(std::uint32_t storedLength)
{
    return storedLength == 0;
}

// Writes the crypted form of the plain bytes (marker included) to sink.
bool encode(const std::uint8_t* plain, std::size_t n, ByteSink& sink);
// The same for n plain bytes that source hands out; false when it gives
// fewer.
bool encode(ByteSource& source, std::uint64_t n, ByteSink& sink);

// Encodes plain content handed over a piece at a time into sink, byte for
// byte as encode() does. The length written first is the caller's guess;
// when the content turns out to have another length the caller writes the
// right one at kMarkerSize (the sink is a file) before it keeps the bytes.
class Encoder {
public:
    explicit Encoder(ByteSink& sink);
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Writes the marker and the length.
    bool begin(std::uint32_t length);
    // False once anything failed, content of kMaxPlainSize bytes or more included.
    bool write(const std::uint8_t* plain, std::size_t n);
    // Ends the stream: its last bytes and the Adler-32.
    bool finish();
    std::uint64_t size() const { return _size; }

private:
    bool start();
    bool run(int flush);

    ByteSink& _sink;
    struct Stream;
    std::unique_ptr<Stream> _stream;
    std::uint64_t _size = 0;
    std::uint32_t _adler = 1;
    bool _ok = true;
};

// Content below this size is decoded in memory and handed to the sink at
// once, which costs less than sizing, reserving and mapping an output file;
// larger content is decoded straight into the sink's mapped pages.
constexpr std::size_t kDecodeInMemoryBelow = 256 << 10;

enum class DecodeResult {
    Ok,
    Corrupt, // the block does not decompress
    SinkFailed, // the sink could not take the bytes
    NoMemory, // no memory for the decoder: nothing is wrong with the block
    NeedsStreaming // fastOnly: the block needs the streaming decoder, which was not run
};

// Which decoders may run. fastOnly: the whole-buffer decoder alone, and only
// for content of at most maxContent bytes, so that it ends in bounded time
// (the caller holds the block's memory briefly: a mapped file that others
// wait on) or fits (a buffer of fixed size). Any other block gives
// NeedsStreaming, and the caller decodes it again with the streaming decoder.
struct DecoderLimit {
    bool fastOnly = false;
    std::uint64_t maxContent = 0;
};

// Where a block turned out corrupt, for the caller's report.
struct Damage {
    std::uint64_t offset = 0; // from the start of the block
    const char* what = nullptr; // e.g. "the compressed stream ends early"
};

// Decodes the block that follows the marker (stored length, then the zlib
// stream) into sink. The stored length is only a hint for sizing the output;
// the stream decides the content, and bytes after its end are ignored.
// On Corrupt, *damage (when given) says where and what.
DecodeResult decodeBlock(
    const std::uint8_t* block, std::size_t n, ByteSink& sink, DecoderLimit limit = {}, Damage* damage = nullptr);
// The same for a block of n bytes that source hands out a chunk at a time,
// decoded as it arrives: memory stays bounded whatever the size of the block
// or its content. A source that gives fewer than n bytes reads as a stream
// that ends early. Same results as above.
DecodeResult decodeBlock(ByteSource& block, std::uint64_t n, ByteSink& sink, Damage* damage = nullptr);

} // namespace korv::format
