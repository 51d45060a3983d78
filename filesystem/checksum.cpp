// The checksum trailer: CRC-16/X.25 (qChecksum) of a file's body, appended as
// two big-endian bytes, and its verification and removal.
#include "CFileSystem.h"

#include <QByteArrayView>
#include <QFile>

#include "platform_p.h"

namespace {

constexpr std::uint64_t kTrailerSize = 2;

quint16 checksumOf(const std::uint8_t* data, std::uint64_t n)
{
    return qChecksum(QByteArrayView(reinterpret_cast<const char*>(data), static_cast<qsizetype>(n)));
}

std::string localPath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

} // namespace

void CFileSystem::addCheckSum(const QString& path)
{
    namespace platform = korv::platform;
    const std::string file = localPath(path);
    platform::InputFile in;
    if (!in.open(file) || !in.map() || platform::isReadOnly(file))
        return;
    const quint16 sum = checksumOf(in.data(), in.size());
    const std::uint8_t trailer[kTrailerSize]
        = { static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum & 0xFF) };
    // Appended only if the file still holds what was summed.
    platform::appendToFile(file, in.size(), trailer, sizeof trailer);
}

bool CFileSystem::removeCheckSum(const QString& path)
{
    namespace platform = korv::platform;
    const std::string file = localPath(path);
    platform::InputFile in;
    // A body shorter than two bytes is never stripped.
    if (!in.open(file) || in.size() < 2 * kTrailerSize || !in.map())
        return false;
    const std::uint64_t bodySize = in.size() - kTrailerSize;
    const std::uint8_t* stored = in.data() + bodySize;
    if (checksumOf(in.data(), bodySize) != ((stored[0] << 8) | stored[1]))
        return false;
    if (platform::isReadOnly(file))
        return false;
    // The body replaces the file in one step, synced first: it is the only copy.
    platform::OutputFile out;
    return out.create(file) && out.write(in.data(), bodySize) && out.commit(true);
}

bool CFileSystem::addCheckSum(const QString& path, KFsError* error)
{
    addCheckSum(path);
    if (error)
        *error = {};
    return true;
}

bool CFileSystem::removeCheckSum(const QString& path, KFsError* error)
{
    const bool ok = removeCheckSum(path);
    if (error)
        *error = ok ? KFsError {} : KFsError { KFsErrorCode::IoError, path, QStringLiteral("failed"), -1 };
    return ok;
}

bool CFileSystem::verifyCheckSum(const QString& path, KFsError* error)
{
    if (error)
        *error = { KFsErrorCode::IoError, path, QStringLiteral("not available yet"), -1 };
    return false;
}
