// KFsError: why a call of the library failed, in a form a program can act on
// (the code) and show to its user (the message).
#pragma once

#include <QString>

#include "korvfilesystem_export.h"

enum class KFsErrorCode : int {
    None = 0, // the call succeeded
    NotFound, // the file, or a directory on its path, does not exist
    PermissionDenied, // the system refused access to the file or its directory
    NotRegularFile, // a directory, device, FIFO or socket where a regular file is needed
    Corrupt, // crypted data that does not decode: a bad or truncated stream, a wrong Adler-32
    ChecksumMismatch, // a checksum trailer that does not match the body, or a file too short for one
    NoSpace, // no room left: a full disk or quota, or the process's file size limit
    TooLarge, // content of 4 GiB or more, whose length the crypted format cannot store
    Cancelled, // the flag set with KFsCryptedFile::setCancelFlag() was raised
    IoError, // any other failure of the system; the message says which
    Exists, // a target the caller asked not to replace (KFsConversionBatch::setReplaceExisting)
};

// The outcome of one call. Calls that take a KFsError* fill it in when the
// pointer is not null: code None on success, otherwise the code, the file it
// concerns and a one-line English message without the path.
struct KORVFILESYSTEM_EXPORT KFsError {
    KFsErrorCode code = KFsErrorCode::None;
    // The file the failure concerns, as the caller named it (the source or
    // the target of a conversion).
    QString path;
    // What went wrong, e.g. "No such file or directory" or "corrupt data:
    // the compressed stream ends early".
    QString message;
    // For Corrupt: the offset in the file where the damage was found; -1
    // when unknown or for other codes.
    qint64 offset = -1;

    bool ok() const { return code == KFsErrorCode::None; }
    // "path: message", as a tool prints it.
    QString toString() const;
};
