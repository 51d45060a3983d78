// The decode plan: how a crypted source is read, and which decoder may run.
#include "decodeplan_p.h"

#include "error_p.h"
#include "platform_p.h"

#include <algorithm>
#include <cerrno>

namespace korv {

namespace {

// Bytes of content a second that a decode into a new file is taken to reach
// at the least: far below what the fast decoder does, so that a lease is
// given back in time on a slow or busy machine too.
constexpr std::uint64_t kSlowestDecodeRate = 50 << 20;

// A crypted source below this size is read whole, the fastest way for a
// small file; a larger one that cannot be leased is decoded as it is read,
// so that memory stays bounded whatever its size.
constexpr std::uint64_t kReadWholeBelow = 1 << 20;

// Others may wait on a leased source only until the kernel's lease-break
// time runs out; decoding at no less than kSlowestDecodeRate, content up to
// this size is done well before.
std::uint64_t leasedContentLimit(long seconds)
{
    return std::uint64_t(seconds) * kSlowestDecodeRate;
}

// Content and source together that any address space holds: a decode this
// small need not ask the system what room there is.
constexpr std::uint64_t kAlwaysMappable = 64 << 20;

// Content the fast decoder may write into a mapping of its own beside the
// source in memory: no more than the address space holds (beside the source
// when it is not mapped yet) nor, for a leased source (seconds > 0), than
// it decodes in the lease's time. storedLength is the content in question
// (-1 when unknown).
std::uint64_t fastContentLimit(long seconds, std::uint64_t sourceToMap, std::int64_t storedLength)
{
    const std::uint64_t lease = seconds > 0 ? leasedContentLimit(seconds) : ~std::uint64_t(0);
    if (storedLength >= 0 && std::uint64_t(storedLength) + sourceToMap <= kAlwaysMappable)
        return std::min(lease, kAlwaysMappable - sourceToMap);
    const std::uint64_t room = platform::mappableBytes();
    const std::uint64_t fits = room > sourceToMap ? room - sourceToMap : 0;
    return std::min(lease, fits);
}

} // namespace

bool loadCryptedSource(platform::InputFile& in, const format::Header& header)
{
    // Without the memory for it, a small source is read a piece at a time too.
    if (in.size() < kReadWholeBelow)
        return in.load() || platform::lastError() == ENOMEM || error::systemFailure(error::File::Source);
    // A source whose stored length says its content is beyond a lease's
    // limit, or beyond what fits in the address space beside it, is not
    // mapped: its pages would be faulted in only to be given back.
    const long seconds = platform::leaseBreakSeconds();
    if (header.storedLength >= 0 && std::uint64_t(header.storedLength) <= fastContentLimit(seconds, in.size(), header.storedLength))
        in.mapLeased(seconds);
    return true;
}

DecodeOutcome decodeCryptedSource(platform::InputFile& in, const format::Header& header, ByteSink& out)
{
    using format::DecodeResult;
    const std::uint64_t blockSize = in.size() - format::kMarkerSize;
    DecodeOutcome outcome;
    if (in.data()) {
        // The fast decoder alone, and only for content it maps and, leased,
        // decodes in time; other blocks are streamed.
        const format::DecoderLimit limit { true, fastContentLimit(in.leaseSeconds(), 0, header.storedLength) };
        // In memory, so its size fits in a size_t.
        outcome.result = format::decodeBlock(
            in.data() + format::kMarkerSize, std::size_t(blockSize), out, limit, &outcome.damage);
    }
    if (outcome.result == DecodeResult::NeedsStreaming && in.data() && in.leaseSeconds() == 0) {
        // Our own copy of a small source.
        MemorySource block(in.data() + format::kMarkerSize, std::size_t(blockSize));
        outcome.result = format::decodeBlock(block, blockSize, out, &outcome.damage);
    } else if (outcome.result == DecodeResult::NeedsStreaming) {
        // Read without a lease: a file cut short meanwhile is a short read
        // here, never a SIGBUS.
        in.unmapLeased();
        platform::FileReader reader(in);
        std::size_t marker = 0;
        reader.next(format::kMarkerSize, marker);
        outcome.result = format::decodeBlock(reader, blockSize, out, &outcome.damage);
        outcome.readFailed = reader.failed();
    }
    outcome.damage.offset += format::kMarkerSize;
    // Given back before the commit, which may sync: nobody waits on it longer.
    in.close();
    return outcome;
}

} // namespace korv
