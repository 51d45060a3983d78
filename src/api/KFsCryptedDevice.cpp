// KFsCryptedDevice: a crypted file's plain content as a QIODevice, decoded
// with the streaming decoder while it is read and encoded while it is
// written, and the in-memory conversions.
#include "KFsCryptedDevice.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "bigendian_p.h"
#include "cryptedformat_p.h"
#include "error_p.h"
#include "inflater_p.h"
#include "platform_p.h"
#include "inputfile_p.h"
#include "outputfile_p.h"
#include "targetpath_p.h"

namespace platform = korv::platform;
namespace format = korv::format;

namespace {

constexpr std::size_t kInputChunk = 256 << 10;
constexpr std::size_t kOutputChunk = 256 << 10;
constexpr std::size_t kMinOutputChunk = 16 << 10;
// Reads at least this large are decoded straight into the caller's buffer.
constexpr qint64 kDirectRead = 64 << 10;
// Writes smaller than this are gathered before they are deflated.
constexpr std::size_t kGatherWrites = 64 << 10;
constexpr qint64 kHeaderSize = qint64(format::kHeaderSize);

using korv::error::codeOf;
using korv::error::messageOf;

// Memory a QByteArray holds, for the in-memory conversions.
using ArraySink = korv::GrowingSink<QByteArray>;

} // namespace

struct KFsCryptedDevice::Private {
    QString fileName;
    QIODevice* source = nullptr;
    KFsError error;
    bool reading = false, writing = false;

    // Reading: where the file's bytes come from.
    platform::InputFile file;
    qint64 sourcePos = 0; // the source's position, from where it stood at open
    qint64 sourceStart = 0;
    std::uint8_t head[kHeaderSize] = {};
    qint64 headSize = 0;
    bool crypted = false;
    qint64 stored = -1;

    // Reading a crypted file: the decoder, its access points, its input and
    // the last piece of content it gave.
    std::unique_ptr<format::Inflater> inflater; // made when first needed
    format::AccessIndex index;
    std::unique_ptr<std::uint8_t[]> in, out;
    std::size_t inCapacity = 0, outCapacity = 0;
    qint64 inOffset = 0; // of in[0], in the file
    std::size_t inPos = 0, inSize = 0;
    bool inLast = false;
    qint64 outStart = 0; // the content offset of out[0]
    std::size_t outSize = 0;
    qint64 end = -1; // the content's size, once the stream has ended
    qint64 failedAt = -1; // where the content stops being readable
    bool failureReported = false;
    qint64 readPos = 0;

    // Writing.
    std::string target;
    std::unique_ptr<platform::OutputFile> output;
    std::unique_ptr<format::Encoder> encoder;
    std::vector<std::uint8_t> gathered;
    // A write failed: the content is incomplete and is never committed.
    bool writeFailed = false;

    void fail(KFsErrorCode code, const QString& message, qint64 offset = -1)
    {
        error = { code, fileName, message, offset };
    }
    void failSystem(int errorNumber) { fail(codeOf(errorNumber), messageOf(errorNumber)); }

    // Up to n bytes of the file at offset; -1 when they cannot be read.
    qint64 input(qint64 offset, std::uint8_t* buffer, std::size_t n);
    bool openInput();
    bool decodeWhole();
    std::size_t decode(std::uint8_t* target, std::size_t capacity);
    // Replaces the piece held by the next one; false when there is none.
    bool fill();
    void restart(const format::Inflater::AccessPoint* point);
    void moveTo(qint64 pos);
    qint64 outEnd() const { return outStart + qint64(outSize); }

    // Bytes QIODevice has for the caller ahead of readPos: put back by
    // ungetChar(), peeked, or kept by a transaction. A sequential device holds
    // them in its buffer; a random-access one has its pos() behind readPos.
    qint64 held(const QIODevice& device) const
    {
        return device.isSequential() ? device.QIODevice::bytesAvailable()
                                     : std::max<qint64>(readPos - device.pos(), 0);
    }

    bool flushGathered();
    void dropWrite();
};

qint64 KFsCryptedDevice::Private::input(qint64 offset, std::uint8_t* buffer, std::size_t n)
{
    if (!source)
        return qint64(file.read(std::uint64_t(offset), buffer, n));
    qint64 done = 0;
    // The header was read at open: a sequential source cannot give it twice.
    if (offset < headSize) {
        done = std::min<qint64>(headSize - offset, qint64(n));
        std::memcpy(buffer, head + offset, std::size_t(done));
    }
    offset += done;
    if (done == qint64(n))
        return done;
    if (offset != sourcePos) {
        if (source->isSequential() || !source->seek(sourceStart + offset))
            return -1;
        sourcePos = offset;
    }
    while (done < qint64(n)) {
        qint64 got = source->read(reinterpret_cast<char*>(buffer) + done, qint64(n) - done);
        if (got == 0 && source->isSequential() && source->waitForReadyRead(-1))
            continue;
        if (got < 0)
            return done > 0 ? done : -1;
        if (got == 0)
            break;
        done += got;
        sourcePos += got;
    }
    return done;
}

bool KFsCryptedDevice::Private::openInput()
{
    if (source) {
        if (!source->isOpen() || !source->isReadable()) {
            fail(KFsErrorCode::IoError, QStringLiteral("the source device is not open for reading"));
            return false;
        }
        sourceStart = source->isSequential() ? 0 : source->pos();
        sourcePos = 0;
        headSize = 0;
        const qint64 got = input(0, head, sizeof head);
        if (got < 0) {
            fail(KFsErrorCode::IoError, source->errorString());
            return false;
        }
        headSize = got;
    } else {
        if (!file.open(QFile::encodeName(fileName).toStdString())) {
            failSystem(platform::lastError());
            return false;
        }
        // The first chunk, the header with it, in one read.
        inCapacity = std::size_t(std::clamp<std::uint64_t>(file.size(), 1, kInputChunk));
        in.reset(new std::uint8_t[inCapacity]);
        inSize = file.read(0, in.get(), inCapacity);
        headSize = std::min<qint64>(qint64(inSize), kHeaderSize);
        std::memcpy(head, in.get(), std::size_t(headSize));
    }
    const format::Header header = format::parseHeader(head, std::size_t(headSize));
    crypted = header.crypted;
    stored = header.storedLength;
    end = crypted
        ? -1
        : (source ? (source->isSequential() ? -1 : source->size() - sourceStart) : qint64(file.size()));
    failedAt = -1;
    failureReported = false;
    readPos = 0;
    if (!crypted)
        return true;
    outCapacity = std::size_t(std::clamp<qint64>(stored, kMinOutputChunk, kOutputChunk));
    out.reset(new std::uint8_t[outCapacity]);
    index.clear();
    outStart = 0;
    outSize = 0;
    if (!source) {
        // A small file read whole: the whole-buffer decoder does it faster
        // than setting up the streaming one. Anything it cannot do the
        // streaming decoder does, and says where it failed.
        if (inSize == file.size() && decodeWhole())
            return true;
        const std::size_t first = inSize;
        restart(nullptr);
        inOffset = 0;
        inPos = std::size_t(headSize);
        inSize = first;
        inLast = first == file.size();
        return true;
    }
    const qint64 inputSize = source->isSequential() ? -1 : source->size() - sourceStart;
    inCapacity = inputSize < 0 ? kInputChunk : std::size_t(std::clamp<qint64>(inputSize, 1, kInputChunk));
    in.reset(new std::uint8_t[inCapacity]);
    restart(nullptr);
    return true;
}

bool KFsCryptedDevice::Private::decodeWhole()
{
    // The whole content, when the fast decoder alone can put it in the piece buffer.
    korv::BufferSink sink(out.get(), outCapacity);
    const format::DecoderLimit fastOnly { true, outCapacity };
    if (stored <= 0
        || format::decodeBlock(in.get() + format::kMarkerSize, inSize - format::kMarkerSize, sink, fastOnly)
            != format::DecodeResult::Ok)
        return false;
    outSize = sink.size();
    end = qint64(sink.size());
    return true;
}

void KFsCryptedDevice::Private::restart(const format::Inflater::AccessPoint* point)
{
    if (!inflater)
        inflater.reset(new format::Inflater);
    // A point that cannot be unpacked costs a decode from the start.
    if (point && !inflater->restore(*point))
        point = nullptr;
    if (!point)
        inflater->reset();
    inOffset = kHeaderSize + qint64(point ? point->inputOffset() : 0);
    inPos = inSize = 0;
    inLast = false;
    outStart = point ? qint64(point->outputOffset()) : 0;
    outSize = 0;
}

// Decodes the content that follows the piece held into target, which
// becomes the piece; 0 at the end or at a failure.
std::size_t KFsCryptedDevice::Private::decode(std::uint8_t* target, std::size_t capacity)
{
    const qint64 at = outEnd();
    outStart = at;
    outSize = 0;
    if ((end >= 0 && at >= end) || (failedAt >= 0 && at >= failedAt))
        return 0;
    std::size_t produced = 0;
    while (produced == 0) {
        if (inPos == inSize && !inLast) {
            inOffset += qint64(inSize);
            const qint64 got = input(inOffset, in.get(), inCapacity);
            if (got < 0) {
                failedAt = at;
                fail(KFsErrorCode::IoError, QStringLiteral("the file cannot be read"), inOffset);
                return 0;
            }
            inSize = std::size_t(got);
            inPos = 0;
            inLast = got == 0 || (!source && inOffset + got >= qint64(file.size()));
        }
        std::size_t used = 0;
        const auto status
            = inflater->step(in.get() + inPos, inSize - inPos, inLast, used, target, capacity, produced);
        inPos += used;
        index.offer(*inflater);
        if (status == format::Inflater::Status::End) {
            end = qint64(inflater->outputOffset());
            break;
        }
        if (status == format::Inflater::Status::Corrupt) {
            // Read as decrypt reads it, while nothing has been handed out.
            if (stored >= 0 && format::corruptStreamIsEmpty(std::uint32_t(stored))
                && inflater->outputOffset() == 0) {
                end = 0;
                break;
            }
            failedAt = qint64(inflater->outputOffset());
            fail(KFsErrorCode::Corrupt, korv::error::corruptMessage(inflater->problem()),
                kHeaderSize + qint64(inflater->problemOffset()));
            break;
        }
    }
    outSize = produced;
    return produced;
}

bool KFsCryptedDevice::Private::fill()
{
    return decode(out.get(), outCapacity) > 0;
}

// Makes the content at pos the next to be read: from the piece held, by
// decoding forward, or from the nearest access point before it.
void KFsCryptedDevice::Private::moveTo(qint64 pos)
{
    if (pos < outStart || pos > outEnd()) {
        const auto* point = index.before(std::uint64_t(pos));
        const qint64 pointAt = point ? qint64(point->outputOffset()) : 0;
        if (pos < outStart || pointAt > outEnd())
            restart(point);
        while (outEnd() < pos && fill()) { }
    }
    readPos = pos;
}

bool KFsCryptedDevice::Private::flushGathered()
{
    if (gathered.empty())
        return true;
    const bool ok = encoder->write(gathered.data(), gathered.size());
    gathered.clear();
    return ok;
}

void KFsCryptedDevice::Private::dropWrite()
{
    encoder.reset();
    output.reset();
    gathered.clear();
    gathered.shrink_to_fit();
    writing = false;
    writeFailed = false;
}

KFsCryptedDevice::KFsCryptedDevice(const QString& fileName, QObject* parent)
    : QIODevice(parent)
    , d(new Private)
{
    d->fileName = fileName;
}

KFsCryptedDevice::KFsCryptedDevice(QIODevice* source, QObject* parent)
    : QIODevice(parent)
    , d(new Private)
{
    d->source = source;
}

KFsCryptedDevice::~KFsCryptedDevice()
{
    d->dropWrite();
}

QString KFsCryptedDevice::fileName() const
{
    return d->fileName;
}

bool KFsCryptedDevice::isCrypted() const
{
    return d->reading && d->crypted;
}

qint64 KFsCryptedDevice::storedSize() const
{
    return d->reading ? d->stored : -1;
}

KFsError KFsCryptedDevice::error() const
{
    return d->error;
}

bool KFsCryptedDevice::open(OpenMode mode)
{
    d->error = {};
    if (isOpen()) {
        d->fail(KFsErrorCode::IoError, QStringLiteral("the device is already open"));
    } else if ((mode & ReadWrite) == ReadWrite) {
        d->fail(KFsErrorCode::IoError,
            QStringLiteral("a crypted file cannot be read and written at once; "
                           "KFsCryptedFile edits one in place through a working copy"));
    } else if (mode & ReadOnly) {
        d->reading = d->openInput();
        // Text stays: QIODevice then turns "\r\n" into "\n" on the way out, as for a QFile.
        if (d->reading)
            return QIODevice::open(ReadOnly | Unbuffered | (mode & Text));
        d->file.close();
    } else if (!(mode & WriteOnly)) {
        d->fail(KFsErrorCode::IoError, QStringLiteral("no open mode given"));
    } else if (d->source) {
        d->fail(KFsErrorCode::IoError, QStringLiteral("a device over another device is read-only"));
    } else {
        // The old content first, when it is to be kept: if it cannot be
        // read the open fails rather than lose it.
        KFsCryptedDevice old(d->fileName);
        const bool append = (mode & Append) && platform::exists(QFile::encodeName(d->fileName).toStdString());
        if (append && !old.open(ReadOnly)) {
            d->error = old.error();
            setErrorString(d->error.message);
            return false;
        }
        d->target = QFile::encodeName(d->fileName).toStdString();
        korv::createParentDirectories(d->target);
        d->output.reset(new platform::OutputFile);
        d->encoder.reset(new format::Encoder(*d->output));
        errno = 0;
        bool ok = d->output->create(d->target, platform::WriteMode::Replace) && d->encoder->begin(0);
        if (!ok)
            d->failSystem(platform::lastError() == 0 && platform::exists(d->target)
                    ? platform::kNotRegularFile
                    : platform::lastError());
        d->writing = ok;
        if (ok && append) {
            std::unique_ptr<char[]> buffer(new char[kOutputChunk]);
            qint64 got;
            while (ok && (got = old.read(buffer.get(), kOutputChunk)) > 0)
                ok = d->encoder->write(reinterpret_cast<const std::uint8_t*>(buffer.get()), std::size_t(got));
            if (ok && got < 0)
                d->error = old.error();
            else if (!ok)
                d->failSystem(platform::lastError());
            ok = ok && got == 0;
        }
        if (ok && QIODevice::open((mode & ~(Append | Truncate)) | Unbuffered)) {
            if (append)
                QIODevice::seek(qint64(d->encoder->size()));
            return true;
        }
        d->dropWrite();
    }
    setErrorString(d->error.message);
    return false;
}

void KFsCryptedDevice::close()
{
    d->dropWrite();
    d->reading = false;
    d->file.close();
    d->in.reset();
    d->out.reset();
    d->index.clear();
    QIODevice::close();
}

bool KFsCryptedDevice::isSequential() const
{
    return d->source && d->source->isSequential();
}

qint64 KFsCryptedDevice::size() const
{
    if (d->writing)
        return qint64(d->encoder->size() + d->gathered.size());
    if (!d->reading)
        return 0;
    if (isSequential())
        return bytesAvailable();
    if (d->end < 0 && d->crypted) {
        // Decoded to its end once; the way back goes through the access points.
        const qint64 pos = d->readPos;
        d->moveTo(std::numeric_limits<qint64>::max());
        d->moveTo(pos);
    }
    return d->end >= 0 ? d->end : std::max<qint64>(d->failedAt, 0);
}

bool KFsCryptedDevice::seek(qint64 pos)
{
    if (!d->reading || pos < 0) {
        // Writing: only where the next byte goes anyway.
        return d->writing && pos == size() && QIODevice::seek(pos);
    }
    // Not even forward: the bytes passed over would be gone while the call
    // fails, as QIODevice fails it. skip() reads forward.
    if (isSequential()) {
        d->fail(KFsErrorCode::IoError, QStringLiteral("a sequential device cannot seek"));
        setErrorString(d->error.message);
        return false;
    }
    if (d->crypted)
        d->moveTo(pos);
    else
        d->readPos = pos;
    return QIODevice::seek(pos);
}

bool KFsCryptedDevice::atEnd() const
{
    if (!d->reading)
        return true;
    if (d->held(*this) > 0)
        return false;
    if (!d->crypted)
        return d->end >= 0 ? d->readPos >= d->end : d->readPos >= d->headSize && d->source->atEnd();
    return bytesAvailable() == 0 && (d->failedAt < 0 || d->failureReported);
}

qint64 KFsCryptedDevice::bytesAvailable() const
{
    if (!d->reading)
        return 0;
    const qint64 ahead = d->held(*this);
    if (!d->crypted) {
        if (d->end >= 0)
            return ahead + std::max<qint64>(d->end - d->readPos, 0);
        return ahead + std::max<qint64>(d->headSize - d->readPos, 0) + d->source->bytesAvailable();
    }
    if (d->readPos == d->outEnd() && ahead == 0)
        d->fill();
    return ahead + std::max<qint64>(d->outEnd() - d->readPos, 0);
}

bool KFsCryptedDevice::commit()
{
    if (!d->writing)
        return false;
    std::uint8_t length[format::kLengthSize];
    korv::writeBigEndian32(length, std::uint32_t(d->encoder->size() + d->gathered.size()));
    bool ok = !d->writeFailed;
    if (ok
        && !(d->flushGathered() && d->encoder->finish()
            && d->output->writeAt(format::kMarkerSize, length, sizeof length)))
        ok = false, d->failSystem(platform::lastError());
    // The caller's data has no other copy: on disk before it replaces the file.
    if (ok && !d->output->commit(true))
        ok = false, d->failSystem(platform::lastError());
    // As crypt leaves it: writable for its owner.
    if (ok && platform::isReadOnly(d->target))
        platform::clearReadOnly(d->target);
    const KFsError error = d->error;
    close();
    d->error = error;
    setErrorString(error.message);
    return ok;
}

void KFsCryptedDevice::cancelWriting()
{
    if (d->writing)
        close();
}

qint64 KFsCryptedDevice::readData(char* data, qint64 maxSize)
{
    if (!d->reading)
        return -1;
    if (!d->crypted) {
        const qint64 got = d->input(d->readPos, reinterpret_cast<std::uint8_t*>(data), std::size_t(maxSize));
        // Nothing before the size known at open (a read error, or the file
        // cut short meanwhile) is no clean end: this read fails, and the
        // content ends there.
        const bool cutShort = got == 0 && maxSize > 0 && d->end >= 0 && d->readPos < d->end;
        if (got < 0 || cutShort) {
            if (cutShort)
                d->end = d->readPos;
            d->fail(KFsErrorCode::IoError, QStringLiteral("the file cannot be read"), d->readPos);
            setErrorString(d->error.message);
            return -1;
        }
        d->readPos += got;
        return got;
    }
    qint64 done = 0;
    while (done < maxSize) {
        if (d->readPos >= d->outEnd()) {
            // A large read decodes straight into the caller's memory, which
            // then holds the piece: it is not held here any more.
            if (maxSize - done >= kDirectRead && d->readPos == d->outEnd()) {
                const std::size_t n
                    = d->decode(reinterpret_cast<std::uint8_t*>(data + done), std::size_t(maxSize - done));
                d->outStart += qint64(n);
                d->outSize = 0;
                done += qint64(n);
                d->readPos += qint64(n);
                if (n == 0)
                    break;
                continue;
            }
            if (!d->fill())
                break;
        }
        const qint64 n = std::min(maxSize - done, d->outEnd() - d->readPos);
        std::memcpy(data + done, d->out.get() + (d->readPos - d->outStart), std::size_t(n));
        done += n;
        d->readPos += n;
    }
    // Damage is never a clean end: the read that meets it fails.
    if (done == 0 && d->failedAt >= 0 && d->readPos >= d->failedAt) {
        d->failureReported = true;
        setErrorString(d->error.message);
        return -1;
    }
    return done;
}

qint64 KFsCryptedDevice::writeData(const char* data, qint64 maxSize)
{
    if (!d->writing || d->writeFailed)
        return -1;
    const auto* p = reinterpret_cast<const std::uint8_t*>(data);
    const auto n = std::size_t(maxSize);
    if (d->encoder->size() + d->gathered.size() + n > format::kMaxPlainSize) {
        d->fail(KFsErrorCode::TooLarge, QStringLiteral("content of 4 GiB or more cannot be crypted"));
    } else if (d->gathered.size() + n < kGatherWrites) {
        d->gathered.insert(d->gathered.end(), p, p + n);
        return maxSize;
    } else if (d->flushGathered() && d->encoder->write(p, n)) {
        return maxSize;
    } else {
        d->failSystem(platform::lastError());
    }
    d->writeFailed = true;
    setErrorString(d->error.message);
    return -1;
}

QByteArray KFsCryptedDevice::encode(const QByteArray& plain)
{
    if (std::uint64_t(plain.size()) > format::kMaxPlainSize)
        return {};
    ArraySink sink;
    sink.bytes.reserve(plain.size() / 2 + 64);
    if (!format::encode(
            reinterpret_cast<const std::uint8_t*>(plain.constData()), std::size_t(plain.size()), sink))
        return {};
    return sink.bytes;
}

QByteArray KFsCryptedDevice::decode(const QByteArray& fileBytes, bool* ok)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(fileBytes.constData());
    const auto n = std::size_t(fileBytes.size());
    if (!format::hasMarker(bytes, n)) {
        if (ok)
            *ok = true;
        return fileBytes;
    }
    const std::uint8_t* block = bytes + format::kMarkerSize;
    const std::size_t blockSize = n - format::kMarkerSize;
    ArraySink sink;
    const bool decoded = format::decodeBlock(block, blockSize, sink) == format::DecodeResult::Ok;
    if (ok)
        *ok = decoded;
    return decoded ? sink.bytes : QByteArray();
}
