// The checksum trailer (docs/formats.md): appending it, verifying and removing
// it. Each reads the file once, a chunk at a time, so memory stays bounded
// whatever its size.
#include "CFileSystem.h"

#include <QFile>

#include <algorithm>

#include "bigendian_p.h"
#include "cancel_p.h"
#include "crc16_p.h"
#include "error_p.h"
#include "platform_p.h"
#include "inputfile_p.h"

namespace {

namespace platform = korv::platform;
using korv::error::File;

constexpr std::uint64_t kTrailerSize = 2;
constexpr std::size_t kChunk = 1 << 20;

std::string localPath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

// Sums the first n bytes of in; reader then stands just after them.
bool sum(platform::FileReader& reader, std::uint64_t n, std::uint16_t& result)
{
    korv::Crc16X25 crc;
    while (n > 0) {
        // A long pass stops when the caller asks; the file is not touched yet.
        if (korv::cancelRequested())
            return false;
        std::size_t got = 0;
        const std::uint8_t* p
            = reader.next(static_cast<std::size_t>(std::min<std::uint64_t>(n, kChunk)), got);
        if (got == 0)
            return korv::error::systemFailure(File::Source);
        crc.update(p, got);
        n -= got;
    }
    result = crc.value();
    return true;
}

bool refuseReadOnly(const std::string& file)
{
    return !platform::isReadOnly(file)
        || korv::error::failure(File::Source, KFsErrorCode::PermissionDenied, "the file is read-only");
}

// True when the open file in ends in the trailer of the bytes before it.
bool trailerMatches(platform::InputFile& in)
{
    // A body shorter than two bytes is never taken for one with a trailer.
    if (in.size() < 2 * kTrailerSize)
        return korv::error::failure(
            File::Source, KFsErrorCode::ChecksumMismatch, "the file is too short to hold a checksum trailer");
    platform::FileReader reader(in);
    std::uint16_t computed = 0;
    if (!sum(reader, in.size() - kTrailerSize, computed))
        return false;
    std::size_t got = 0;
    const std::uint8_t* stored = reader.next(kTrailerSize, got);
    if (got != kTrailerSize)
        return korv::error::systemFailure(File::Source);
    return computed == korv::readBigEndian16(stored)
        || korv::error::failure(
            File::Source, KFsErrorCode::ChecksumMismatch, "the checksum trailer does not match the content");
}

bool openFile(platform::InputFile& in, const std::string& file)
{
    return in.open(file) || korv::error::systemFailure(File::Source);
}

} // namespace

void CFileSystem::addCheckSum(const QString& path)
{
    addCheckSum(path, nullptr);
}

bool CFileSystem::removeCheckSum(const QString& path)
{
    return removeCheckSum(path, nullptr);
}

bool CFileSystem::addCheckSum(const QString& path, KFsError* error)
{
    korv::error::begin();
    const std::string file = localPath(path);
    platform::InputFile in;
    platform::FileReader reader(in);
    std::uint16_t crc = 0;
    bool ok = openFile(in, file) && refuseReadOnly(file) && sum(reader, in.size(), crc);
    std::uint8_t trailer[kTrailerSize];
    korv::writeBigEndian16(trailer, crc);
    // Appended only if the file still holds what was summed.
    ok = ok
        && (platform::appendToFile(file, in, trailer, sizeof trailer)
            || korv::error::systemFailure(File::Source));
    return korv::error::report(ok, error, path, path);
}

bool CFileSystem::removeCheckSum(const QString& path, KFsError* error)
{
    korv::error::begin();
    const std::string file = localPath(path);
    platform::InputFile in;
    // Cut in place: one metadata change, and the file keeps its inode, links,
    // owner and attributes. Only if it still holds what was verified.
    const bool ok = openFile(in, file) && refuseReadOnly(file) && trailerMatches(in)
        && (platform::truncateFile(file, in, in.size() - kTrailerSize)
            || korv::error::systemFailure(File::Source));
    return korv::error::report(ok, error, path, path);
}

bool CFileSystem::verifyCheckSum(const QString& path, KFsError* error)
{
    korv::error::begin();
    platform::InputFile in;
    const bool ok = openFile(in, localPath(path)) && trailerMatches(in);
    return korv::error::report(ok, error, path, path);
}
