// The streaming zlib decoder: our own header and Adler-32 handling around
// ISA-L's deflate decoder, which streams at close to libdeflate's speed, and
// the access points.
#include "inflater_p.h"

#include "bigendian_p.h"
#include "cancel_p.h"
#include "pool_p.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

namespace korv::format {

namespace {

constexpr std::uint8_t kMethodDeflate = 8;
constexpr unsigned kMaxWindowInfo = 7; // a 32 KiB window, the largest there is
constexpr std::uint8_t kPresetDictionary = 0x20;
constexpr unsigned kHeaderCheck = 31;
// ISA-L counts its output in 32 bits and checks back-references against the
// count; held well below the wrap, it still covers any window.
constexpr std::uint32_t kOutputCountCeiling = 1u << 31;
// What the access points of one stream may hold at most.
constexpr std::size_t kMaxIndexBytes = 8 << 20;

const char* deflateProblem(int rc)
{
    switch (rc) {
    case ISAL_INVALID_BLOCK:
        return "an invalid deflate block";
    case ISAL_INVALID_SYMBOL:
        return "an invalid code in the deflate data";
    case ISAL_INVALID_LOOKBACK:
        return "a back-reference before the start of the content";
    default:
        return "the deflate data does not decode";
    }
}

} // namespace

struct Inflater::State {
    inflate_state isal;
};

Inflater::Inflater()
    : _state(new State)
{
    reset();
}

Inflater::~Inflater() = default;

void Inflater::reset()
{
    isal_inflate_init(&_state->isal);
    _state->isal.crc_flag = ISAL_DEFLATE;
    _phase = Phase::Header;
    _status = Status::Progress;
    _have = 0;
    _adler = 1;
    _in = _out = 0;
    _problem = "";
    _problemOffset = 0;
}

Inflater::Status Inflater::fail(const char* problem, std::uint64_t offset)
{
    _problem = problem;
    _problemOffset = offset;
    return _status = Status::Corrupt;
}

Inflater::Status Inflater::step(const std::uint8_t* in, std::size_t n, bool last, std::size_t& used,
    std::uint8_t* out, std::size_t cap, std::size_t& produced)
{
    used = produced = 0;
    while (_status == Status::Progress) {
        const Phase before = _phase;
        std::size_t u = 0, p = 0;
        switch (_phase) {
        case Phase::Header:
            header(in + used, n - used, u);
            break;
        case Phase::Deflate:
            deflate(in + used, n - used, last, u, out + produced, cap - produced, p);
            break;
        case Phase::Trailer:
            trailer(in + used, n - used, last, u);
            break;
        case Phase::Done:
            _status = Status::End;
            break;
        }
        used += u;
        produced += p;
        if (_status == Status::Progress && u == 0 && p == 0 && _phase == before) {
            if (last && used == n && _phase != Phase::Deflate)
                return fail("the compressed stream ends early", _in);
            break;
        }
    }
    return _status;
}

Inflater::Status Inflater::header(const std::uint8_t* in, std::size_t n, std::size_t& used)
{
    used = std::min<std::size_t>(n, 2 - _have);
    if (used > 0)
        std::memcpy(_bytes + _have, in, used);
    _have += used;
    _in += used;
    if (_have < 2)
        return _status;
    const unsigned cmf = _bytes[0], flg = _bytes[1];
    if ((cmf & 0x0f) != kMethodDeflate || (cmf >> 4) > kMaxWindowInfo
        || (cmf * 256 + flg) % kHeaderCheck != 0)
        return fail("not a zlib stream", 0);
    if (flg & kPresetDictionary)
        return fail("the stream needs a preset dictionary", 1);
    _have = 0;
    _phase = Phase::Deflate;
    return _status;
}

Inflater::Status Inflater::deflate(const std::uint8_t* in, std::size_t n, bool last, std::size_t& used,
    std::uint8_t* out, std::size_t cap, std::size_t& produced)
{
    inflate_state& s = _state->isal;
    // ISA-L counts in 32 bits: hand it at most 1 GiB of either at a time.
    const auto inChunk = static_cast<std::uint32_t>(std::min<std::size_t>(n, 1u << 30));
    const auto outChunk = static_cast<std::uint32_t>(std::min<std::size_t>(cap, 1u << 30));
    if (outChunk == 0) {
        used = produced = 0;
        return _status;
    }
    s.next_in = const_cast<std::uint8_t*>(in);
    s.avail_in = inChunk;
    s.next_out = out;
    s.avail_out = outChunk;
    const int rc = isal_inflate(&s);
    used = inChunk - s.avail_in;
    produced = outChunk - s.avail_out;
    _in += used;
    _out += produced;
    if (produced > 0)
        _adler = libdeflate_adler32(_adler, out, produced);
    s.total_out = std::min(s.total_out, kOutputCountCeiling);
    if (rc < 0)
        return fail(deflateProblem(rc), _in);
    if (s.block_state != ISAL_BLOCK_FINISH) {
        if (last && used == n && produced == 0)
            return fail("the compressed stream ends early", _in);
        return _status;
    }
    // The deflate data has ended. ISA-L may have read a few bytes past it
    // into its bit buffer: they are the first bytes of the Adler-32.
    if (s.read_in_length < 0 || s.tmp_in_size != 0)
        return fail("the deflate data does not decode", _in);
    const auto whole = static_cast<std::size_t>(s.read_in_length / 8);
    std::uint64_t bits = s.read_in >> (s.read_in_length % 8);
    _have = 0;
    for (std::size_t i = 0; i < whole && _have < sizeof _bytes; ++i, bits >>= 8)
        _bytes[_have++] = static_cast<std::uint8_t>(bits);
    _problemOffset = _in - whole; // where the Adler-32 starts
    _phase = Phase::Trailer;
    return _status;
}

Inflater::Status Inflater::trailer(const std::uint8_t* in, std::size_t n, bool last, std::size_t& used)
{
    used = std::min<std::size_t>(n, sizeof _bytes - _have);
    if (used > 0)
        std::memcpy(_bytes + _have, in, used);
    _have += used;
    _in += used;
    if (_have < sizeof _bytes) {
        if (last && used == n)
            return fail("the compressed stream ends before its Adler-32", _in);
        return _status;
    }
    if (readBigEndian32(_bytes) != _adler)
        return fail("the Adler-32 checksum does not match", _problemOffset);
    _phase = Phase::Done;
    return _status = Status::End;
}

bool Inflater::canSave() const
{
    return _status == Status::Progress && _phase == Phase::Deflate;
}

namespace {

// Access points are kept deflated: the window and the code tables shrink to
// a third or less for text, so the index stays small for long streams.
libdeflate_compressor* makePointCompressor()
{
    return libdeflate_alloc_compressor(1);
}

void freePointCompressor(libdeflate_compressor* c)
{
    libdeflate_free_compressor(c);
}

using PointCompressors = Pool<libdeflate_compressor, makePointCompressor, freePointCompressor>;

} // namespace

bool Inflater::save(AccessPoint& point) const
{
    if (!canSave())
        return false;
    // Everything up to ISA-L's output buffer, and of that buffer the part in
    // use (the window it keeps and output not handed out yet).
    const inflate_state& s = _state->isal;
    const std::size_t size
        = offsetof(inflate_state, tmp_out_buffer) + static_cast<std::size_t>(s.tmp_out_valid);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&s);
    const PointCompressors::Lease lease(PointCompressors::instance());
    libdeflate_compressor* c = lease.get();
    if (!c)
        return false;
    point._state.resize(libdeflate_deflate_compress_bound(c, size));
    const std::size_t packed
        = libdeflate_deflate_compress(c, bytes, size, point._state.data(), point._state.size());
    if (packed == 0)
        return false;
    point._state.resize(packed);
    point._state.shrink_to_fit();
    point._stateSize = size;
    point._in = _in;
    point._out = _out;
    point._adler = _adler;
    return true;
}

bool Inflater::restore(const AccessPoint& point)
{
    const Decompressor lease = decompressor();
    libdeflate_decompressor* d = lease.get();
    std::size_t size = 0;
    if (!d
        || libdeflate_deflate_decompress(
               d, point._state.data(), point._state.size(), &_state->isal, point._stateSize, &size)
            != LIBDEFLATE_SUCCESS
        || size != point._stateSize)
        return false;
    _phase = Phase::Deflate;
    _status = Status::Progress;
    _have = 0;
    _in = point._in;
    _out = point._out;
    _adler = point._adler;
    _problem = "";
    _problemOffset = 0;
    return true;
}

void AccessIndex::offer(const Inflater& inflater)
{
    const std::uint64_t last = _points.empty() ? 0 : _points.back().outputOffset();
    if (inflater.outputOffset() < last + _interval || !inflater.canSave())
        return;
    Inflater::AccessPoint point;
    if (!inflater.save(point))
        return;
    _bytes += point.bytes();
    _points.push_back(std::move(point));
    if (_bytes <= kMaxIndexBytes)
        return;
    // Keep every other point: the interval doubles and the memory halves.
    std::vector<Inflater::AccessPoint> kept;
    _bytes = 0;
    for (std::size_t i = 1; i < _points.size(); i += 2) {
        _bytes += _points[i].bytes();
        kept.push_back(std::move(_points[i]));
    }
    _points = std::move(kept);
    _interval *= 2;
}

const Inflater::AccessPoint* AccessIndex::before(std::uint64_t offset) const
{
    auto it = std::upper_bound(_points.begin(), _points.end(), offset,
        [](std::uint64_t o, const Inflater::AccessPoint& p) { return o < p.outputOffset(); });
    return it == _points.begin() ? nullptr : &*(it - 1);
}

void AccessIndex::clear()
{
    _points.clear();
    _bytes = 0;
    _interval = 2 << 20;
}

DecodeResult inflateStream(ByteSource& source, ByteSink& sink, Damage* damage)
{
    constexpr std::size_t kChunk = 256 << 10;
    if (!sink.reset())
        return DecodeResult::SinkFailed;
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kChunk]);
    if (!buffer)
        return DecodeResult::NoMemory;
    Inflater inflater;
    const std::uint8_t* in = nullptr;
    std::size_t n = 0;
    bool last = false;
    for (;;) {
        // A stop asked for fails the decode like a sink that takes no more.
        if (cancelRequested())
            return DecodeResult::SinkFailed;
        if (n == 0 && !last) {
            in = source.next(kChunk, n);
            last = n == 0;
        }
        std::size_t used = 0, produced = 0;
        const Inflater::Status status = inflater.step(in, n, last, used, buffer.get(), kChunk, produced);
        in += used;
        n -= used;
        if (produced > 0 && !sink.write(buffer.get(), produced))
            return DecodeResult::SinkFailed;
        if (status == Inflater::Status::End)
            return DecodeResult::Ok;
        if (status == Inflater::Status::Corrupt) {
            if (damage)
                *damage = { inflater.problemOffset(), inflater.problem() };
            return DecodeResult::Corrupt;
        }
    }
}

} // namespace korv::format
