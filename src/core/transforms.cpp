// The whole-file transforms: plain to crypted and back, or a plain copy.
// How a crypted source is read and decoded is the decode plan's to say.
#include "transforms_p.h"

#include "cryptedformat_p.h"
#include "decodeplan_p.h"
#include "inputfile_p.h"
#include "error_p.h"
#include "targetpath_p.h"
#include "paths_p.h"

#include <cerrno>

namespace korv {

namespace {

// The source's header, read once.
format::Header readHeader(platform::InputFile& in)
{
    std::uint8_t bytes[format::kHeaderSize];
    return format::parseHeader(bytes, in.peek(bytes, sizeof bytes));
}

// Decodes a loaded crypted source into out; notes the failure.
bool decodeInto(platform::InputFile& in, const format::Header& header, platform::OutputFile& out)
{
    using format::DecodeResult;
    const DecodeOutcome outcome = decodeCryptedSource(in, header, out);
    switch (outcome.result) {
    case DecodeResult::Ok:
        return true;
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

// A read-only target is made writable to be replaced; a conversion that then
// fails makes it read-only again (~PendingConversion).
void readyTarget(PendingConversion& p, platform::PathFacts& facts, platform::WriteMode mode)
{
    if (mode != platform::WriteMode::Replace || !facts.readOnly() || !facts.regular)
        return;
    p.wasReadOnly = true;
    // The new file takes the permissions the target has from now on.
    if (platform::clearReadOnly(p.target))
        facts.mode |= 0200;
}

// Starts the new content; the missing directories are made only when the
// system says they are missing, so a directory that exists costs nothing.
bool createOutput(PendingConversion& p, const platform::PathFacts& facts, platform::WriteMode mode,
    const ConversionContext& context)
{
    p.out.setReplaceExisting(context.replaceExisting);
    if (p.out.create(p.target, facts, mode, context.newFiles))
        return true;
    if (mode != platform::WriteMode::Replace || facts.exists || platform::lastError() != ENOENT)
        return false;
    createParentDirectories(p.target, &p.madeDirectories);
    platform::clearLastError();
    return p.out.create(p.target, facts, mode, context.newFiles);
}

} // namespace

PendingConversion::~PendingConversion()
{
    if (wasReadOnly && !committed)
        platform::setReadOnly(target);
}

bool prepareConversion(Operation operation, const std::string& source, const std::string& target,
    PendingConversion& p, platform::WriteMode mode, const ConversionContext& context)
{
    using error::File;
    p.target = target;
    platform::InputFile in;
    platform::PathFacts facts;
    // In place by the same name, the source's one look tells what the target
    // is, unless the name is a symbolic link.
    const bool samePath = source == target && mode == platform::WriteMode::Replace;
    if (!samePath || !in.open(source, facts)) {
        if (samePath && platform::lastError() != ELOOP)
            return error::systemFailure(File::Source);
        platform::clearLastError();
        if (!in.open(source))
            return error::systemFailure(File::Source);
        (void)platform::lookAt(target, facts);
    }
    p.inPlace = mode == platform::WriteMode::Replace && in.isFile(facts);
    // A link counts as there, dangling too: writing through it would fill a
    // file someone else named.
    if (!context.replaceExisting && source != target && (facts.exists || facts.link))
        return error::systemFailure(File::Target, EEXIST);

    if (operation == Operation::Crypt) {
        // Decide from the size before reading: the format stores a 32-bit length.
        if (in.size() > format::kMaxPlainSize)
            return error::failure(
                File::Source, KFsErrorCode::TooLarge, "content of 4 GiB or more cannot be crypted");
        readyTarget(p, facts, mode);
        platform::FileReader plain(in);
        if (!createOutput(p, facts, mode, context))
            return error::systemFailure(File::Target);
        if (!format::encode(plain, in.size(), p.out))
            return error::systemFailure(plain.failed() ? File::Source : File::Target);
        p.crypted = true;
        return true;
    }

    const format::Header header = readHeader(in);
    if (!header.crypted) {
        readyTarget(p, facts, mode);
        // In place, or through another name of the source, the plain content
        // is there already.
        if (p.inPlace || platform::sameFile(source, target)) {
            p.committed = true;
            return true;
        }
        // Otherwise it is new content like a decrypted one, committed (and
        // synced, and kept from replacing a target that appeared) the same
        // way. It has the source's permissions, writable by its owner.
        p.out.setPermissions(platform::copyPermissions(in) | 0200);
        if (!createOutput(p, facts, mode, context) || !platform::copyInto(in, p.out))
            return error::systemFailure(File::Target);
        return true;
    }
    if (!loadCryptedSource(in, header))
        return false;
    readyTarget(p, facts, mode);
    if (!createOutput(p, facts, mode, context))
        return error::systemFailure(File::Target);
    if (!decodeInto(in, header, p.out))
        return false;
    p.crypted = true;
    return true;
}

bool commitConversion(PendingConversion& p, bool sync, std::string* directoryToSync)
{
    if (p.committed)
        return true;
    if (!p.out.commit(sync))
        return error::systemFailure(error::File::Target);
    p.committed = true;
    // A rename of synced content is made durable too: the caller may drop the
    // only other copy once told it is done.
    if (sync && p.out.renamed()) {
        const std::string dir = platform::directoryOf(p.out.path());
        if (directoryToSync)
            *directoryToSync = dir;
        else
            (void)platform::syncDirectory(dir);
    }
    return true;
}

bool cryptFile(const std::string& target, const std::string& source, platform::WriteMode mode, Sync sync)
{
    PendingConversion p;
    if (!prepareConversion(Operation::Crypt, source, target, p, mode))
        return false;
    const bool flush = mode == platform::WriteMode::Replace && (sync == Sync::Always || p.inPlace);
    return commitConversion(p, flush);
}

bool decryptFile(
    const std::string& source, const std::string& target, bool* crypted, platform::WriteMode mode)
{
    PendingConversion p;
    if (!prepareConversion(Operation::Decrypt, source, target, p, mode) || !commitConversion(p, p.inPlace))
        return false;
    if (crypted)
        *crypted = p.crypted;
    return true;
}

bool decryptFile(const std::string& source, platform::OutputFile& workingCopy, bool* crypted)
{
    platform::InputFile in;
    if (!in.open(source))
        return error::systemFailure(error::File::Source);
    const format::Header header = readHeader(in);
    const bool isCryptedSource = header.crypted;
    const bool ok = isCryptedSource
        ? loadCryptedSource(in, header) && decodeInto(in, header, workingCopy)
            && (workingCopy.commit(false) || error::systemFailure(error::File::Target))
        : platform::copyInto(in, workingCopy) && workingCopy.commit(false);
    if (ok && crypted)
        *crypted = isCryptedSource;
    return ok;
}

} // namespace korv
