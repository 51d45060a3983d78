// KFsCryptedDevice: the plain content of a crypted file as a QIODevice,
// decoded while it is read and encoded while it is written, with no
// plaintext on disk and no working copy.
#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <memory>

#include "KFsError.h"
#include "korvfilesystem_export.h"

// Reading (ReadOnly): a crypted file is decoded as it is read, in bounded
// memory whatever its size; a plain file (no marker) reads as it is. Damaged
// data never looks like a clean end: the read that meets it returns -1 and
// errorString()/error() say what and where. seek() works both ways.
//
// Writing (WriteOnly, with or without Truncate; WriteOnly | Append starts
// from the file's current plain content): the bytes are encoded as they
// arrive into a new file beside fileName(); nothing at fileName() changes
// until commit() replaces it in one step with a file identical to what
// KFsCryptedFile::crypt makes of the same content. cancelWriting(), close()
// or destruction without commit() discard the new file. ReadWrite is refused.
//
// One device is for one thread; separate devices share nothing.
class KORVFILESYSTEM_EXPORT KFsCryptedDevice : public QIODevice {
    Q_OBJECT
public:
    explicit KFsCryptedDevice(const QString& fileName, QObject* parent = nullptr);
    // Reads the crypted (or plain) bytes that `source` gives, from its
    // current position: a socket, a pipe, a buffer. ReadOnly only; the
    // device is sequential when source is. `source` must outlive the device.
    explicit KFsCryptedDevice(QIODevice* source, QObject* parent = nullptr);
    // Discards uncommitted writes, as cancelWriting() does.
    ~KFsCryptedDevice() override;

    QString fileName() const;
    // After a successful open for reading: true when the file carries the marker.
    bool isCrypted() const;
    // The plain length stored in a crypted file's header (a hint: the stream
    // decides the content); -1 for a plain file or before open.
    qint64 storedSize() const;
    // Why the last failed call failed (code None when none did).
    KFsError error() const;

    bool open(OpenMode mode) override;
    // Reading: closes the file. Writing: discards the new file unless it was
    // committed; use commit() to keep it.
    void close() override;
    bool isSequential() const override;
    // Reading: the plain size. The stored length is only a hint, so the
    // first call before the end of the stream has been reached decodes it to
    // its end (access points make the way back cheap); a stream that turns
    // out corrupt counts up to the damage. Sequential: the bytes decoded and
    // not read yet. Writing: the bytes written so far.
    qint64 size() const override;
    bool seek(qint64 pos) override;
    // Reading a crypted file: false while damage not yet reported by a read
    // lies ahead, so that the read that meets it happens.
    bool atEnd() const override;
    // The bytes decoded and not read yet (a piece is decoded when none is).
    qint64 bytesAvailable() const override;

    // Writing: finishes the stream, writes the length, syncs the new file
    // and renames it over fileName(). False, with fileName() as it was and
    // no file left beside it, when any write failed (content of 4 GiB or
    // more included) or the file cannot be replaced. Closes the device.
    bool commit();
    // Writing: drops everything written; fileName() stays as it was.
    void cancelWriting();

    // The bytes of the crypted file holding `plain` (identical to what
    // KFsCryptedFile::crypt writes). Plain content of 4 GiB or more cannot
    // be stored: the result is then an empty array, which no valid crypted
    // file is (the smallest is 6 bytes).
    static QByteArray encode(const QByteArray& plain);
    // The plain content of a file's bytes: a crypted one decoded, a plain
    // one returned unchanged. *ok (when not null) is false, and the result
    // empty, for crypted bytes that are corrupt or truncated, or whose
    // content does not fit in the process's memory.
    static QByteArray decode(const QByteArray& fileBytes, bool* ok = nullptr);

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 maxSize) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
