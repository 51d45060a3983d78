// CFileSystem: a stdio stream on the plain content of a crypted file, and the
// 16-bit checksum trailer that protects a file's content.
#pragma once

#include <QString>

#include "KFsError.h"
#include "korvfilesystem_export.h"

// One stdio stream on the working copy of a crypted (or plain) file. The
// methods wrap the stdio calls of the same names and pass arguments and
// results through unchanged, except that a read on a write-only mode ("w",
// "a") or a write on "r" fails on every platform as glibc fails it (0, EOF
// or nullptr, errno EBADF, error() set, nothing written back at close).
// One object is not for concurrent use; separate objects may be used on
// separate threads, copies included.
class KORVFILESYSTEM_EXPORT CFileSystem {
public:
    // A closed object.
    CFileSystem();
    // Copies share the stream: it is closed, and the file written back, once,
    // when the last of them closes or is destroyed.
    CFileSystem(const CFileSystem& other);
    // Releases the stream this object held (as close() does) and shares other's.
    CFileSystem& operator=(const CFileSystem& other);
    // close().
    ~CFileSystem();

    // Closes what the object held, makes a working copy of path's plain
    // content and opens it with fopen(mode). Modes that can write ("w", "a",
    // anything with "+") keep the working copy until close, which crypts it
    // back into path; until then path is untouched. Returns 0 when open,
    // 1 when not: a read mode on a missing file (no temporary file is made),
    // an unreadable or corrupt file, or no working copy could be made.
    int open(const char* path, const char* mode);

    // fread / fwrite; 0 on a closed object.
    unsigned read(void* buffer, unsigned size, unsigned count);
    unsigned write(const void* data, unsigned size, unsigned count);
    // fgets; nullptr on a closed object.
    char* gets(char* buffer, int size);
    // fputs (no newline added); EOF on a closed object.
    int puts(const char* text);
    // fgetc / fputc; EOF on a closed object.
    int getc();
    int putc(int c);
    // fflush: to the working copy only, path changes at close. EOF when closed.
    int flush();
    // fseek / ftell; -1 on a closed object.
    int seek(long offset, int origin);
    long tell();
    // rewind; nothing on a closed object.
    void rewind();
    // feof / ferror; 0 on a closed object.
    int eof();
    int error();

    // Releases this object's share of the stream; returns 0 without one.
    // The last holder fcloses the stream and, for a writing mode, crypts the
    // working copy back into path: EOF when either fails (the file at path is
    // then left as it was; after a failed write or fclose nothing is written
    // back, as the working copy may be incomplete).
    int close();

    // Appends the checksum trailer (docs/formats.md) of the whole file. A
    // missing, unreadable or read-only file is left alone; a failed append
    // leaves no partial trailer, and a file that changed while it was summed
    // gets none. The file is read once, a chunk at a time: memory stays small
    // whatever its size.
    // Thread-safe (no shared state).
    static void addCheckSum(const QString& path);
    // Verifies the trailer in one pass over the file and cuts it off in
    // place (a truncation: the file keeps its inode, links, owner,
    // permissions and extended attributes, and needs no room). False, with
    // the file unchanged, when it cannot be read, is shorter than 4 bytes,
    // is read-only, the checksum does not match, or the file changed since it
    // was verified. Thread-safe (no shared state).
    static bool removeCheckSum(const QString& path);

    // The trailer operations, telling why they failed: when error is not
    // null it receives code None on success, else the reason (see
    // KFsError.h) with path as its file: NotFound, PermissionDenied (also for
    // a read-only file), NotRegularFile, ChecksumMismatch (a trailer that
    // does not match, or a file shorter than 4 bytes), NoSpace, IoError.
    // addCheckSum returns true when the trailer was appended; results and
    // effects are otherwise those of the calls above.
    static bool addCheckSum(const QString& path, KFsError* error);
    static bool removeCheckSum(const QString& path, KFsError* error);
    // Checks the trailer without changing the file: true when the file holds
    // at least 4 bytes and its last two are the checksum of the rest. Reads
    // the file once, in bounded memory.
    static bool verifyCheckSum(const QString& path, KFsError* error = nullptr);

private:
    struct Stream;
    Stream* _stream;
};
