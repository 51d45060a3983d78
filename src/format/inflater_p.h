// The streaming decoder of zlib streams: fed a chunk of input at a time,
// producing a chunk of output at a time, with access points that let a
// reader go back in the stream without decoding it again from the start.
// Internal: not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "bytesink_p.h"
#include "cryptedformat_p.h"

namespace korv::format {

// A zlib stream (RFC 1950) decoded incrementally: the header, the deflate
// data (run by ISA-L), then the Adler-32 of the content, which is checked.
// Bytes after the end of the stream are left alone, as zlib leaves them. A
// stream that breaks off, does not decode or whose Adler-32 differs is
// Corrupt, with the reason and the stream offset where it was found.
class Inflater {
public:
    enum class Status {
        Progress, // more to come: feed input or give output space
        End, // the whole stream was decoded and its Adler-32 matches
        Corrupt
    };

    Inflater();
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Back to the start of a stream.
    void reset();
    // Decodes from the n input bytes at in into the cap bytes at out; used
    // and produced say how many of each were taken. last says that no input
    // follows these bytes: a stream still open when they and the output
    // pending are used up ends early.
    Status step(const std::uint8_t* in, std::size_t n, bool last, std::size_t& used, std::uint8_t* out,
        std::size_t cap, std::size_t& produced);
    Status status() const { return _status; }
    // Stream bytes taken and content bytes given so far.
    std::uint64_t inputOffset() const { return _in; }
    std::uint64_t outputOffset() const { return _out; }
    // After Corrupt: what was wrong, and the stream offset where it was found.
    const char* problem() const { return _problem; }
    std::uint64_t problemOffset() const { return _problemOffset; }

    // The whole decoder state at one point of the deflate data (the last 32
    // KiB of content included), from which decoding carries on as if it had
    // never stopped. About 54 KiB, kept deflated.
    class AccessPoint {
    public:
        std::uint64_t inputOffset() const { return _in; }
        std::uint64_t outputOffset() const { return _out; }
        std::size_t bytes() const { return _state.size(); }

    private:
        friend class Inflater;
        std::uint64_t _in = 0, _out = 0;
        std::uint32_t _adler = 1;
        std::size_t _stateSize = 0;
        std::vector<std::uint8_t> _state;
    };
    // False where no point can be taken: outside the deflate data.
    bool canSave() const;
    bool save(AccessPoint& point) const;
    // False, with the decoder as it was, when the point cannot be unpacked.
    bool restore(const AccessPoint& point);

private:
    struct State;
    Status fail(const char* problem, std::uint64_t offset);
    Status header(const std::uint8_t* in, std::size_t n, std::size_t& used);
    Status deflate(const std::uint8_t* in, std::size_t n, bool last, std::size_t& used, std::uint8_t* out,
        std::size_t cap, std::size_t& produced);
    Status trailer(const std::uint8_t* in, std::size_t n, bool last, std::size_t& used);

    enum class Phase { Header, Deflate, Trailer, Done };
    std::unique_ptr<State> _state;
    Phase _phase = Phase::Header;
    Status _status = Status::Progress;
    std::uint8_t _bytes[4] = {}; // header or trailer bytes gathered so far
    std::size_t _have = 0;
    std::uint32_t _adler = 1;
    std::uint64_t _in = 0, _out = 0;
    const char* _problem = "";
    std::uint64_t _problemOffset = 0;
};

// Access points taken every so often while a stream is decoded, thinned out
// (every other one dropped, the interval doubled) so that they never hold
// more than a few MiB whatever the stream's size.
class AccessIndex {
public:
    // Takes a point when the decoder has gone an interval past the last one.
    void offer(const Inflater& inflater);
    // The last point at or before the content offset, or nullptr.
    const Inflater::AccessPoint* before(std::uint64_t offset) const;
    void clear();

private:
    std::vector<Inflater::AccessPoint> _points;
    std::uint64_t _interval = 2 << 20;
    std::size_t _bytes = 0;
};

// Decodes a whole zlib stream from source into sink with the streaming
// decoder: Ok, Corrupt (with *damage, when given, saying what and at which
// offset of the stream), NoMemory or SinkFailed (a stop asked for too).
DecodeResult inflateStream(ByteSource& source, ByteSink& sink, Damage* damage = nullptr);

} // namespace korv::format
