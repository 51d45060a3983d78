// KFsCryptedFile: the whole-file transforms.
#include "KFsCryptedFile.h"

#include "cryptedformat_p.h"
#include "platform_p.h"
#include "targetpath_p.h"

using namespace korv;

bool KFsCryptedFile::crypt(const std::string& target, const std::string& source)
{
    platform::InputFile in;
    // Decide from the size before reading: the format stores a 32-bit length.
    if (!in.open(source) || in.size() > format::kMaxPlainSize || !in.map())
        return false;

    prepareTargetPath(target);
    platform::OutputFile out;
    if (!out.create(target) || !format::encode(in.data(), in.size(), out))
        return false;
    // In place, the new content is the only copy once renamed: sync it first.
    return out.commit(platform::sameFile(source, target));
}

bool KFsCryptedFile::decrypt(const std::string& source, const std::string& target, bool* crypted)
{
    platform::InputFile in;
    if (!in.open(source))
        return false;
    std::uint8_t marker[format::kMarkerSize];
    const std::size_t got = in.peek(marker, sizeof marker);

    if (!format::hasMarker(marker, got)) {
        prepareTargetPath(target);
        if (!platform::copyFile(source, target))
            return false;
        // The copy carries the source's permissions, a read-only one too.
        platform::clearReadOnly(target);
        if (crypted)
            *crypted = false;
        return true;
    }

    if (!in.map())
        return false;
    prepareTargetPath(target);
    platform::OutputFile out;
    if (!out.create(target))
        return false;
    const auto result = format::decodeBlock(in.data() + format::kMarkerSize,
                                            in.size() - format::kMarkerSize, out);
    if (result != format::DecodeResult::Ok || !out.commit(platform::sameFile(source, target)))
        return false;
    if (crypted)
        *crypted = true;
    return true;
}
