// The whole-file transforms: plain to crypted and back, or a plain copy.
#include "transforms_p.h"

#include "cryptedformat_p.h"
#include "inputfile_p.h"
#include "error_p.h"
#include "targetpath_p.h"

namespace korv {

namespace {

// Makes a target ready to be replaced (prepareTargetPath). A read-only
// target is made writable for that; if the call then fails it is made
// read-only again, so that a failed call leaves the file as it was.
class PreparedTarget {
public:
    PreparedTarget(const std::string& target, platform::WriteMode mode)
        : _target(target)
    {
        if (mode != platform::WriteMode::Replace)
            return;
        _wasReadOnly = platform::exists(target) && platform::isReadOnly(target);
        prepareTargetPath(target);
    }
    ~PreparedTarget()
    {
        if (_wasReadOnly && !_written)
            platform::setReadOnly(_target);
    }
    PreparedTarget(const PreparedTarget&) = delete;
    PreparedTarget& operator=(const PreparedTarget&) = delete;

    bool written(bool ok)
    {
        _written = ok;
        return ok;
    }

private:
    const std::string& _target;
    bool _wasReadOnly = false;
    bool _written = false;
};

// New content is synced before it replaces the file only when it replaces
// its own source: then it is the only copy left.
bool syncBeforeRename(const std::string& source, const std::string& target, platform::WriteMode mode)
{
    return mode == platform::WriteMode::Replace && platform::sameFile(source, target);
}

bool isCrypted(platform::InputFile& in)
{
    std::uint8_t marker[format::kMarkerSize];
    const std::size_t got = in.peek(marker, sizeof marker);
    return format::hasMarker(marker, got);
}

// Bytes of content a second that a decode into a new file is taken to reach
// at the least: about a twentieth of the fast decoder's speed on a modest
// two-core machine.
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

// A source whose stored length says its content is beyond a lease's limit
// is not mapped: its pages would be faulted in only to be given back.
bool contentFitsALease(platform::InputFile& in)
{
    std::uint8_t header[format::kMarkerSize + format::kLengthSize];
    return in.peek(header, sizeof header) == sizeof header
        && format::storedLength(header + format::kMarkerSize)
        <= leasedContentLimit(platform::leaseBreakSeconds());
}

// A crypted source for decoding: a large one is mapped under a lease, which
// saves copying it; a small one is read; any other is left to be read a
// piece at a time while it is decoded.
bool load(platform::InputFile& in)
{
    if (in.size() < kReadWholeBelow)
        return in.map() || error::systemFailure(error::File::Source);
    if (contentFitsALease(in))
        in.mapLeased();
    return true;
}

// The crypted branch once the source is loaded: decodes into out and commits
// it. A leased source allows only the fast decoder; a block that needs more,
// and a source in no memory at all, is decoded as it is read.
bool decodeInto(platform::InputFile& in, platform::OutputFile& out, bool sync)
{
    using format::DecodeResult;
    const std::uint64_t blockSize = in.size() - format::kMarkerSize;
    format::Damage damage;
    DecodeResult result = DecodeResult::NotBrief;
    if (in.data()) {
        const long seconds = in.leaseSeconds();
        const auto hold = seconds > 0 ? format::Hold { true, leasedContentLimit(seconds) } : format::Hold {};
        result = format::decodeBlock(in.data() + format::kMarkerSize, blockSize, out, hold, &damage);
    }
    bool readFailed = false;
    if (result == DecodeResult::NotBrief) {
        // Read without a lease: a file cut short meanwhile is a short read
        // here, never a SIGBUS.
        in.unmapLeased();
        platform::FileReader reader(in);
        std::size_t marker = 0;
        reader.next(format::kMarkerSize, marker);
        result = format::decodeBlock(reader, blockSize, out, &damage);
        readFailed = reader.failed();
    }
    // Given back before the commit, which may sync: nobody waits on it longer.
    in.close();
    switch (result) {
    case DecodeResult::Ok:
        return out.commit(sync) || error::systemFailure(error::File::Target);
    case DecodeResult::Corrupt:
        if (readFailed)
            return error::systemFailure(error::File::Source);
        return error::failure(error::File::Source, KFsErrorCode::Corrupt, damage.what,
            static_cast<std::int64_t>(format::kMarkerSize + damage.offset));
    case DecodeResult::NoMemory:
        return error::failure(error::File::Source, KFsErrorCode::IoError, "out of memory");
    case DecodeResult::SinkFailed:
    case DecodeResult::NotBrief:
        break;
    }
    return error::systemFailure(error::File::Target);
}

} // namespace

bool cryptFile(const std::string& target, const std::string& source, platform::WriteMode mode, Sync sync)
{
    using error::File;
    platform::InputFile in;
    if (!in.open(source))
        return error::systemFailure(File::Source);
    // Decide from the size before reading: the format stores a 32-bit length.
    if (in.size() > format::kMaxPlainSize)
        return error::failure(
            File::Source, KFsErrorCode::TooLarge, "content of 4 GiB or more cannot be crypted");

    PreparedTarget prepared(target, mode);
    platform::OutputFile out;
    platform::FileReader plain(in);
    if (!out.create(target, mode))
        return error::systemFailure(File::Target);
    if (!format::encode(plain, in.size(), out))
        return error::systemFailure(plain.failed() ? File::Source : File::Target);
    const bool flush = mode == platform::WriteMode::Replace
        && (sync == Sync::Always || syncBeforeRename(source, target, mode));
    return prepared.written(out.commit(flush)) || error::systemFailure(File::Target);
}

bool decryptFile(
    const std::string& source, const std::string& target, bool* crypted, platform::WriteMode mode)
{
    platform::InputFile in;
    if (!in.open(source))
        return error::systemFailure(error::File::Source);
    const bool replace = mode == platform::WriteMode::Replace;

    if (!isCrypted(in)) {
        PreparedTarget prepared(target, mode);
        if (!prepared.written(platform::copyFile(in, target, mode)))
            return error::systemFailure(error::File::Target);
        // The copy carries the source's permissions, a read-only one too.
        if (replace)
            platform::clearReadOnly(target);
        if (crypted)
            *crypted = false;
        return true;
    }

    if (!load(in))
        return false;
    PreparedTarget prepared(target, mode);
    platform::OutputFile out;
    if (!out.create(target, mode))
        return error::systemFailure(error::File::Target);
    if (!prepared.written(decodeInto(in, out, syncBeforeRename(source, target, mode))))
        return false;
    if (crypted)
        *crypted = true;
    return true;
}

bool decryptFile(const std::string& source, platform::OutputFile& workingCopy, bool* crypted)
{
    platform::InputFile in;
    if (!in.open(source))
        return error::systemFailure(error::File::Source);
    const bool isCryptedSource = isCrypted(in);
    const bool ok = isCryptedSource ? load(in) && decodeInto(in, workingCopy, false)
                                    : platform::copyInto(in, workingCopy) && workingCopy.commit(false);
    if (ok && crypted)
        *crypted = isCryptedSource;
    return ok;
}

} // namespace korv
