// KFsCryptedFile: whole-file conversion between plain and crypted form, and
// the handle that gives its owner a plain working copy of a crypted file.
// The crypted format: docs/formats.md. Any file without its marker is plain.
#pragma once

#include <QMutex>
#include <atomic>
#include <string>
#include <vector>

#include "KFsError.h"
#include "korvfilesystem_export.h"

// Tells a crypted-file handle whether its working copy is crypted back.
// Other values are accepted: they make a working copy that is never written back.
enum KFsOpenMode : int { KFsRead = 0, KFsWrite = 1 };

class CFileSystem;

// A handle on a crypted (or plain) file: construction decrypts the file into
// a working copy in the temporary directory, the owner reads or writes that
// copy by its path, and destruction crypts it back (KFsWrite only) and
// removes it. Handles may be created and destroyed on several threads at
// once; a single handle is not for concurrent use.
class KORVFILESYSTEM_EXPORT KFsCryptedFile {
public:
    // Makes the working copy of filePath: its plain content in a new file
    // whose name starts with "kr2", readable by its owner only. KFsRead on a
    // missing file makes none and uses filePath itself. Any other mode on a
    // missing file makes an empty working copy. When no working copy can be
    // made, or an existing file cannot be read or is corrupt, the handle has
    // none: getDecryptedFilePath() is empty and destruction touches nothing.
    KFsCryptedFile(const std::string& filePath, KFsOpenMode openMode);

    // Copies share the working copy: the first of them to be destroyed writes
    // it back (KFsWrite) and removes it; later destructions find it gone and
    // leave the file at filePath as it is.
    KFsCryptedFile(const KFsCryptedFile& other);
    // As the copy constructor; a different working copy this handle held
    // before is first finished as its destruction would (written back, removed).
    KFsCryptedFile& operator=(const KFsCryptedFile& other);

    // KFsWrite: crypts the working copy back into filePath, replacing the
    // file atomically; on failure the file stays as it was and the working
    // copy is kept, as the only place its content lives. Every other working
    // copy is removed, or remembered and removed by a later destruction when
    // the system refuses now. Also retries those remembered removals.
    virtual ~KFsCryptedFile();

    // The working copy's path; filePath for KFsRead on a missing file; empty
    // when the handle has no working copy. Valid while the handle lives.
    virtual const std::string& getDecryptedFilePath();

    // True unless the working copy was made from a plain (unmarked) file.
    bool isCrypted() const { return _crypted; }

    // Writes the crypted form of the plain file `source` to `target`,
    // creating missing directories and replacing an existing (even read-only)
    // target atomically. `source` is not examined for a marker: crypting a
    // crypted file wraps it again. source == target crypts in place.
    // Returns false, with every existing file unchanged, when the source
    // cannot be read, is not a regular file, is 4 GiB or larger, or the
    // target cannot be written. Thread-safe (no shared state).
    // A replaced target keeps its owner, group, permissions, ACL and extended
    // attributes; one a rename would change (other hard links, an owner or
    // group the process cannot give, a directory it may not write) is
    // written into from a complete copy in the temporary directory. A device
    // or FIFO target is written into, never replaced. The same holds for
    // decrypt and for a handle's write-back.
    static bool crypt(const std::string& target, const std::string& source);

    // Writes the plain content of `source` to `target`: a crypted source is
    // decompressed, a plain one (no marker) copied byte for byte.
    // source == target decrypts in place. Missing directories are created and
    // an existing target is replaced atomically and left writable. When
    // `crypted` is not null it receives true for a crypted source, false for
    // a plain one; it is untouched on failure. Returns false, with every
    // existing file unchanged, when the source cannot be read or is not a
    // regular file, a crypted source is corrupt or truncated, or the target
    // cannot be written. Thread-safe (no shared state). While a crypted
    // source of 1 MiB or more is decoded (here and for a handle) it is held
    // under a read lease: whoever opens it for writing or truncates it
    // meanwhile (another process, or another thread) waits until the
    // decode is done. Where no lease can be had (the caller does not own the
    // file, or someone has it open for writing), or the content is too large
    // to decode in the lease's time, such a source is decoded as it is read:
    // memory stays a few MiB whatever the size of the file.
    static bool decrypt(const std::string& source, const std::string& target, bool* crypted = nullptr);

    // The same two conversions, telling why they failed: when `error` is not
    // null it receives code None on success, else the reason and the file
    // it concerns, source or target (see KFsError.h): NotFound,
    // PermissionDenied, NotRegularFile, Corrupt (decrypt: a bad stream, one
    // that ends early or a wrong Adler-32, with the offset in the source
    // where it was found), NoSpace (a full disk or quota, or the file size
    // limit), TooLarge (crypt: a source of 4 GiB or more), IoError (any
    // other failure of the system, or no memory; the message says which).
    // Results and effects are as above.
    static bool crypt(const std::string& target, const std::string& source, KFsError* error);
    static bool decrypt(const std::string& source, const std::string& target, bool* crypted, KFsError* error);

    // Lets a program stop long conversions, e.g. from a signal handler:
    // while `flag` (process-wide, may be null to clear it) reads true, every
    // crypt, decrypt, checksum operation and device commit in flight on any
    // thread stops at its next check (at least every few MiB), removes the
    // new file it had started, leaves existing files as they were and fails
    // with KFsErrorCode::Cancelled. Storing true into a std::atomic<bool>
    // is safe in a signal handler. The library itself installs no handler.
    static void setCancelFlag(const std::atomic<bool>* flag);

protected:
    bool _crypted; // false only for a working copy of a plain file
    std::string _filePath; // the crypted file itself
    std::string _decryptedFilePath; // the working copy (see getDecryptedFilePath)
    KFsOpenMode _openMode; // only KFsWrite writes back

private:
    friend class CFileSystem;

    // What destruction does, once: writes back when writeBack is set and the
    // mode is KFsWrite, removes or keeps the working copy, then forgets it.
    // False when a write-back was due and failed.
    bool finish(bool writeBack);

    // Working copies whose removal failed, retried at every destruction.
    static std::vector<std::string> _unremovedFiles;
    static QMutex _unremovedFilesMutex;
};
