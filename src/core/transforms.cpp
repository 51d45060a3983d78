// The whole-file transforms: plain to crypted and back, or a plain copy.
// How a crypted source is read and decoded is the decode plan's to say.
#include "transforms_p.h"

#include "cryptedformat_p.h"
#include "decodeplan_p.h"
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

// The source's header, read once.
format::Header readHeader(platform::InputFile& in)
{
    std::uint8_t bytes[format::kHeaderSize];
    return format::parseHeader(bytes, in.peek(bytes, sizeof bytes));
}

// Decodes a loaded crypted source into out and commits it; notes the failure.
bool decodeInto(platform::InputFile& in, platform::OutputFile& out, bool sync)
{
    using format::DecodeResult;
    const DecodeOutcome outcome = decodeCryptedSource(in, out);
    switch (outcome.result) {
    case DecodeResult::Ok:
        return out.commit(sync) || error::systemFailure(error::File::Target);
    case DecodeResult::Corrupt:
        if (outcome.readFailed)
            return error::systemFailure(error::File::Source);
        return error::failure(error::File::Source, KFsErrorCode::Corrupt, outcome.damage.what,
            static_cast<std::int64_t>(outcome.damage.offset));
    case DecodeResult::NoMemory:
        return error::failure(error::File::Source, KFsErrorCode::IoError, "out of memory");
    case DecodeResult::SinkFailed:
    case DecodeResult::NeedsStreaming:
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

    const format::Header header = readHeader(in);
    if (!header.crypted) {
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

    if (!loadCryptedSource(in, header))
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
    const format::Header header = readHeader(in);
    const bool isCryptedSource = header.crypted;
    const bool ok = isCryptedSource ? loadCryptedSource(in, header) && decodeInto(in, workingCopy, false)
                                    : platform::copyInto(in, workingCopy) && workingCopy.commit(false);
    if (ok && crypted)
        *crypted = isCryptedSource;
    return ok;
}

} // namespace korv
