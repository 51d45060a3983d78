// The decode plan: how a crypted source is read, and which decoder may run.
#include "decodeplan_p.h"

#include "error_p.h"
#include "platform_p.h"

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

} // namespace

bool loadCryptedSource(platform::InputFile& in, const format::Header& header)
{
    if (in.size() < kReadWholeBelow)
        return in.load() || error::systemFailure(error::File::Source);
    // A source whose stored length says its content is beyond a lease's
    // limit is not mapped: its pages would be faulted in only to be given back.
    const long seconds = platform::leaseBreakSeconds();
    if (header.storedLength >= 0 && std::uint64_t(header.storedLength) <= leasedContentLimit(seconds))
        in.mapLeased(seconds);
    return true;
}

DecodeOutcome decodeCryptedSource(platform::InputFile& in, ByteSink& out)
{
    using format::DecodeResult;
    const std::uint64_t blockSize = in.size() - format::kMarkerSize;
    DecodeOutcome outcome;
    if (in.data()) {
        const long seconds = in.leaseSeconds();
        const auto limit
            = seconds > 0 ? format::DecoderLimit { true, leasedContentLimit(seconds) } : format::DecoderLimit {};
        outcome.result = format::decodeBlock(in.data() + format::kMarkerSize, blockSize, out, limit, &outcome.damage);
    }
    if (outcome.result == DecodeResult::NeedsStreaming) {
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
