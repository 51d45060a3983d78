// The failure of the call in progress on this thread, and its translation
// from the platform's error numbers into KFsError codes and messages.
#include "error_p.h"

#include <cerrno>
#include <cstring>

#include "cancel_p.h"
#include "platform_p.h"

namespace korv::error {

namespace {

struct Failure {
    bool noted = false;
    File file = File::Source;
    // A code the library chose, or None: then platformError says why.
    KFsErrorCode code = KFsErrorCode::None;
    int platformError = 0;
    const char* message = nullptr;
    std::int64_t offset = -1;
};

thread_local Failure current;

} // namespace

KFsErrorCode codeOf(int platformError)
{
    switch (platformError) {
    case ENOENT:
    case ENOTDIR: // a file where a directory of the path should be
        return KFsErrorCode::NotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return KFsErrorCode::PermissionDenied;
    case EISDIR:
    case platform::kNotRegularFile:
        return KFsErrorCode::NotRegularFile;
    case ECANCELED: // a commit refused because the caller asked to stop
        return KFsErrorCode::Cancelled;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: // beyond the process's file size limit
        return KFsErrorCode::NoSpace;
    case EEXIST: // a target the caller asked not to replace
        return KFsErrorCode::Exists;
    default:
        return KFsErrorCode::IoError;
    }
}

QString messageOf(int platformError)
{
    switch (platformError) {
    case 0:
        return QStringLiteral("failed for a reason the system did not report");
    case platform::kNotRegularFile:
        return QStringLiteral("not a regular file");
    case platform::kFileChanged:
        return QStringLiteral("the file changed while it was read");
    // The same words on every platform for the reasons files fail for
    // (Windows' own texts are worded otherwise, and its runtime knows only
    // some of these numbers); the system's text for the rest.
    case ENOENT:
        return QStringLiteral("No such file or directory");
    case ENOTDIR:
        return QStringLiteral("Not a directory");
    case EACCES:
        return QStringLiteral("Permission denied");
    case EPERM:
        return QStringLiteral("Operation not permitted");
    case EROFS:
        return QStringLiteral("Read-only file system");
    case EISDIR:
        return QStringLiteral("Is a directory");
    case ECANCELED:
        return QStringLiteral("Operation canceled");
    case ENOSPC:
        return QStringLiteral("No space left on device");
    case EDQUOT:
        return QStringLiteral("Disk quota exceeded");
    case EFBIG:
        return QStringLiteral("File too large");
    case EIO:
        return QStringLiteral("Input/output error");
    case EEXIST:
        return QStringLiteral("File exists");
    case ENAMETOOLONG:
        return QStringLiteral("File name too long");
    case ELOOP:
        return QStringLiteral("Too many levels of symbolic links");
    case EMFILE:
        return QStringLiteral("Too many open files");
    case ENOMEM:
        return QStringLiteral("Cannot allocate memory");
    default:
        return QString::fromLocal8Bit(std::strerror(platformError));
    }
}

QString corruptMessage(const char* what)
{
    return QStringLiteral("corrupt data: ") + QString::fromUtf8(what);
}

void begin()
{
    current = {};
    platform::clearLastError();
    clearCancelled();
}

bool systemFailure(File file)
{
    return systemFailure(file, platform::lastError());
}

bool systemFailure(File file, int platformError)
{
    current = { true, file, KFsErrorCode::None, platformError, nullptr, -1 };
    return false;
}

bool failure(File file, KFsErrorCode code, const char* message, std::int64_t offset)
{
    current = { true, file, code, 0, message, offset };
    return false;
}

bool report(bool ok, KFsError* error, const std::string& source, const std::string& target)
{
    // Paths keep their bytes as the system's 8-bit text, as everywhere else.
    return report(ok, error, QString::fromLocal8Bit(source.c_str()), QString::fromLocal8Bit(target.c_str()));
}

bool report(bool ok, KFsError* error, const QString& source, const QString& target)
{
    if (!error)
        return ok;
    *error = {};
    if (ok)
        return ok;
    // A failure nobody noted is the platform's, on the file read.
    const Failure f
        = current.noted ? current : Failure { true, File::Source, KFsErrorCode::None, platform::lastError() };
    error->path = f.file == File::Source ? source : target;
    if (wasCancelled()) {
        // Whatever failed on the way, the call stopped because it was asked to.
        error->code = KFsErrorCode::Cancelled;
        error->message = QStringLiteral("cancelled");
    } else if (f.code != KFsErrorCode::None) {
        error->code = f.code;
        error->message
            = f.code == KFsErrorCode::Corrupt ? corruptMessage(f.message) : QString::fromUtf8(f.message);
        error->offset = f.code == KFsErrorCode::Corrupt ? f.offset : -1;
    } else {
        error->code = codeOf(f.platformError);
        error->message = messageOf(f.platformError);
    }
    return ok;
}

} // namespace korv::error
