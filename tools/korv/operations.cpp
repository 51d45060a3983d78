// The work on one file: decrypt, crypt, test, info and the checksum trailer.
#include "operations.h"

#include "files.h"
#include "jobs.h"
#include "output.h"

#include <CFileSystem.h>
#include <KFsCryptedDevice.h>
#include <KFsCryptedFile.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

namespace korv {

namespace {

// What the first bytes of a file say, read without decoding anything. The
// public API has no header peek, so korv keeps its own (format: docs/formats.md).
struct Header {
    bool crypted = false;
    qint64 storedSize = -1; // -1: plain, or too short to hold the length
    std::uint64_t fileSize = 0;
};

Failure fromErrno(int error)
{
    return { errorCode(error), std::strerror(error) };
}

Failure notRegular(const FileStatus& st)
{
    return { errorCode(KFsErrorCode::NotRegularFile),
        st.kind == FileKind::Directory ? "is a directory" : "not a regular file" };
}

bool readHeader(const std::string& path, Header& header, Failure& error)
{
    unsigned char bytes[6];
    std::size_t n = 0;
    FileStatus st;
    if (!readStart(path, bytes, sizeof bytes, n, st)) {
        error = fromErrno(st.error);
        return false;
    }
    if (st.kind != FileKind::Regular) {
        error = notRegular(st);
        return false;
    }
    header.fileSize = st.size;
    header.crypted = n >= 2 && bytes[0] == 'k' && bytes[1] == 'r';
    if (header.crypted && n == 6)
        header.storedSize
            = qint64(bytes[2]) << 24 | qint64(bytes[3]) << 16 | qint64(bytes[4]) << 8 | bytes[5];
    return true;
}

std::string message(const KFsError& e)
{
    return e.message.isEmpty() ? std::string("failed") : e.message.toStdString();
}

std::uint64_t sizeOf(const std::string& path)
{
    return fileStatus(path, true).size;
}

FileResult failed(const std::string& path, const Failure& failure)
{
    Output::instance().error(path, failure.message);
    FileResult r;
    r.outcome = Outcome::Failed;
    r.code = failure.code;
    r.message = failure.message;
    return r;
}

// A target that exists is not replaced without -f: the library refuses it
// (KFsErrorCode::Exists), up to the rename.
const Failure kExists { "exists", "already exists; not overwritten (use -f)" };

// A library call's failure: a cancelled one is no failure of the file.
FileResult failed(const std::string& path, const KFsError& e)
{
    if (e.code == KFsErrorCode::Cancelled) {
        FileResult r;
        r.outcome = Outcome::Cancelled;
        return r;
    }
    return failed(path, e.code == KFsErrorCode::Exists ? kExists : Failure { errorCode(e.code), message(e) });
}

FileResult skipped(const std::string& message)
{
    FileResult r;
    r.outcome = Outcome::Skipped;
    r.message = message;
    return r;
}

std::string targetOf(const Options& o, const FileItem& item)
{
    if (!o.output.empty())
        return o.output;
    if (!o.toDir.empty())
        return o.toDir + (o.toDir.back() == '/' ? "" : "/") + item.relative;
    return item.path;
}

// The file a conversion's failure is about, as the user named it: the
// target when the library says so (no room, not writable), else the source.
const std::string& concerned(const KFsError& e, const std::string& source, const std::string& target)
{
    const bool aboutTarget
        = target != source && e.path == QFile::decodeName(QByteArray::fromStdString(target));
    return aboutTarget ? target : source;
}

std::string verboseLine(
    const std::string& path, const std::string& target, const char* what, const FileResult& r)
{
    std::string line = path;
    if (target != path)
        line += " -> " + target;
    char sizes[80];
    std::snprintf(sizes, sizeof sizes, ": %s, %llu -> %llu bytes\n", what, (unsigned long long)r.bytesIn,
        (unsigned long long)r.bytesOut);
    return line + sizes;
}

// What stops a conversion before the library is asked: a source already
// crypted (after a target that exists, as the library would find).
bool refused(const Options& o, const FileItem& item, const std::string& target, FileResult& r)
{
    Header header;
    Failure error;
    if (o.command == Command::Crypt && !o.again && readHeader(item.path, header, error) && header.crypted) {
        if (target != item.path && !o.force && fileStatus(target, false).error == 0) {
            r = failed(target, kExists);
            return true;
        }
        Output::instance().note(item.path, "already crypted, skipped (--again crypts it once more)");
        r = skipped("already crypted");
        if (o.verbose)
            r.report = item.path + ": already crypted, skipped\n";
        return true;
    }
    return false;
}

// The result of a conversion the batch has done (or failed).
FileResult converted(const Options& o, const FileItem& item, const std::string& target,
    const KFsConversionBatch& batch, std::size_t entry)
{
    const bool inPlace = target == item.path;
    const KFsError& e = batch.error(entry);
    if (!batch.done(entry))
        return failed(concerned(e, item.path, target), e);
    FileResult r;
    const bool crypted = batch.crypted(entry);
    if (o.command == Command::Decrypt && !crypted && inPlace) {
        r = skipped("plain, left alone");
        if (o.verbose)
            r.report = item.path + ": plain, left alone\n";
        return r;
    }
    const char* what = o.command == Command::Crypt ? "crypted" : crypted ? "decrypted" : "plain, copied";
    r.bytesIn = item.size;
    // A plain copy has the source's size.
    r.bytesOut = crypted || o.command == Command::Crypt ? batch.bytesWritten(entry) : item.size;
    if (!inPlace)
        r.target = target;
    if (o.verbose)
        r.report = verboseLine(item.path, target, what, r);
    return r;
}

FileResult test(const Options& o, const FileItem& item)
{
    Source source;
    Failure error;
    if (!openSource(item.path, false, source, error))
        return failed(item.path, error);
    FileResult r;
    if (!source.device->isCrypted()) {
        r = skipped("plain");
        if (o.verbose)
            r.report = item.path + ": plain\n";
        r.bytesIn = item.size;
        return r;
    }
    r.bytesIn = item.size;
    // On the stack: a thread_local with a destructor crashes ending threads
    // under 32-bit MinGW runtimes.
    std::array<char, 64 * 1024> buffer;
    for (;;) {
        if (stopFlag().load()) {
            r.outcome = Outcome::Cancelled;
            return r;
        }
        const qint64 n = source.device->read(buffer.data(), qint64(buffer.size()));
        if (n < 0)
            return failed(item.path, deviceError(*source.device));
        if (n == 0)
            break;
        r.bytesOut += std::uint64_t(n);
    }
    const qint64 stored = source.device->storedSize();
    if (stored >= 0 && std::uint64_t(stored) != r.bytesOut) {
        r.message = "warning: stored length " + std::to_string(stored) + " differs from the content ("
            + std::to_string(r.bytesOut) + " bytes); readers go by the content";
        Output::instance().note(item.path, r.message);
    }
    if (o.verbose)
        r.report = item.path + ": OK\n";
    return r;
}

FileResult info(const Options& o, const FileItem& item)
{
    Header h;
    Failure error;
    if (!readHeader(item.path, h, error))
        return failed(item.path, error);
    FileResult r;
    r.bytesIn = h.fileSize;
    const bool hasRatio = h.storedSize > 0;
    const double ratio = hasRatio ? double(h.fileSize) / double(h.storedSize) : 0;
    char text[160];
    if (o.json) {
        char stored[24] = "null";
        char ratioText[24] = "null";
        if (h.storedSize >= 0)
            std::snprintf(stored, sizeof stored, "%lld", (long long)h.storedSize);
        if (hasRatio)
            std::snprintf(ratioText, sizeof ratioText, "%.4f", ratio);
        std::snprintf(text, sizeof text,
            ",\"crypted\":%s,\"file_size\":%llu,\"stored_size\":%s,\"ratio\":%s",
            h.crypted ? "true" : "false", (unsigned long long)h.fileSize, stored, ratioText);
        r.fields = text;
        return r;
    }
    const std::string stored = h.storedSize >= 0 ? std::to_string(h.storedSize) : "-";
    char ratioText[24] = "-";
    if (hasRatio)
        std::snprintf(ratioText, sizeof ratioText, "%.1f%%", 100 * ratio);
    std::snprintf(text, sizeof text, "%-8s %12llu %12s %7s  ", h.crypted ? "crypted" : "plain",
        (unsigned long long)h.fileSize, stored.c_str(), ratioText);
    r.report = text + item.path + "\n";
    return r;
}

FileResult checksum(const Options& o, const FileItem& item)
{
    // The trailer calls take a QString: a name that is not in the locale's
    // encoding does not survive the trip, so verify reads it through the
    // open descriptor where the platform names one, and the others refuse
    // rather than miss the file.
    const QByteArray bytes = QByteArray::fromStdString(item.path);
    QString path = QFile::decodeName(bytes);
    int fd = -1;
    if (QFile::encodeName(path) != bytes) {
        const Failure badName { "bad_name", "the name is not valid in the locale's encoding; cannot change the file" };
        if (o.checksum != ChecksumAction::Verify)
            return failed(item.path, badName);
        FileStatus st;
        fd = openDescriptor(item.path, false, st);
        if (fd < 0)
            return failed(item.path, fromErrno(st.error));
        const std::string alias = descriptorPath(fd);
        if (alias.empty()) {
            closeDescriptor(fd);
            return failed(item.path, badName);
        }
        path = QFile::decodeName(QByteArray::fromStdString(alias));
    }
    KFsError e;
    bool ok = false;
    const char* what = "";
    switch (o.checksum) {
    case ChecksumAction::Add:
        ok = CFileSystem::addCheckSum(path, &e);
        what = "checksum added";
        break;
    case ChecksumAction::Verify:
        ok = CFileSystem::verifyCheckSum(path, &e);
        what = "checksum OK";
        break;
    case ChecksumAction::Strip:
        ok = CFileSystem::removeCheckSum(path, &e);
        what = "checksum stripped";
        break;
    case ChecksumAction::None:
        break;
    }
    if (fd >= 0)
        closeDescriptor(fd);
    if (!ok)
        return failed(item.path, e);
    FileResult r;
    r.bytesIn = item.size;
    r.bytesOut = o.checksum == ChecksumAction::Verify ? 0 : sizeOf(item.path);
    if (o.verbose)
        r.report = item.path + ": " + what + "\n";
    return r;
}

} // namespace

Source::~Source() = default;

Failure deviceError(const KFsCryptedDevice& device)
{
    const KFsError e = device.error();
    if (!e.ok() && !e.message.isEmpty())
        return { errorCode(e.code), e.message.toStdString() };
    const QString s = device.errorString();
    return { errorCode(KFsErrorCode::IoError), s.isEmpty() ? std::string("read failed") : s.toStdString() };
}

bool openSource(const std::string& path, bool allowSpecial, Source& source, Failure& error)
{
    const QByteArray bytes = QByteArray::fromStdString(path);
    const QString name = QFile::decodeName(bytes);
    const bool regular = fileStatus(path, true).kind == FileKind::Regular;
    if (path != "-" && regular && QFile::encodeName(name) == bytes) {
        source.device = std::make_unique<KFsCryptedDevice>(name);
    } else {
        constexpr int kStdin = 0;
        int fd = kStdin;
        if (path != "-") {
            FileStatus st;
            fd = openDescriptor(path, allowSpecial, st);
            if (fd < 0) {
                error = fromErrno(st.error);
                return false;
            }
            if (st.kind == FileKind::Directory || (!allowSpecial && st.kind != FileKind::Regular)) {
                error = notRegular(st);
                closeDescriptor(fd);
                return false;
            }
        }
        source.file = std::make_unique<QFile>();
        if (!source.file->open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                fd == kStdin ? QFileDevice::DontCloseHandle : QFileDevice::AutoCloseHandle)) {
            error = { errorCode(KFsErrorCode::IoError), source.file->errorString().toStdString() };
            if (fd != kStdin)
                closeDescriptor(fd);
            return false;
        }
        source.device = std::make_unique<KFsCryptedDevice>(source.file.get());
    }
    if (!source.device->open(QIODevice::ReadOnly)) {
        error = deviceError(*source.device);
        return false;
    }
    return true;
}

std::string infoHeader()
{
    char text[100];
    std::snprintf(
        text, sizeof text, "%-8s %12s %12s %7s  %s\n", "kind", "file size", "plain size", "ratio", "name");
    return text;
}

FileResult processFile(const Options& options, const FileItem& item)
{
    // A FIFO or device named on the command line is refused before the
    // library sees it: reading one could wait forever.
    if (item.issue) {
        FileResult r;
        r.outcome = item.issue->outcome;
        r.code = item.issue->code;
        r.message = item.issue->message;
        return r;
    }
    if (options.command == Command::Checksum) {
        const FileStatus st = fileStatus(item.path, true);
        if (st.error == 0 && st.kind != FileKind::Regular)
            return failed(item.path, notRegular(st));
    }
    switch (options.command) {
    case Command::Decrypt:
    case Command::Crypt:
        break; // ConversionQueue
    case Command::Test:
        return test(options, item);
    case Command::Info:
        return info(options, item);
    case Command::Checksum:
        return checksum(options, item);
    case Command::Cat:
    case Command::None:
        break;
    }
    return {};
}

bool isConversion(const Options& options)
{
    return options.command == Command::Crypt || options.command == Command::Decrypt;
}

ConversionQueue::ConversionQueue(const Options& options, Done done, std::size_t window)
    : _options(options)
    , _done(std::move(done))
    , _window(std::max<std::size_t>(1, std::min(window, KFsConversionBatch::maxPending())))
{
    // A conversion to another path leaves its source: it is made as durable
    // as gzip's, the in-place ones are synced (their old content is gone).
    const auto durability = options.toDir.empty() && options.output.empty() ? KFsConversionBatch::Everything
                                                                             : KFsConversionBatch::ReplacedSources;
    for (auto* b : { &_filling, &_committing }) {
        *b = std::make_unique<Batch>(durability);
        (*b)->batch.setReplaceExisting(options.force);
    }
}

ConversionQueue::~ConversionQueue()
{
    if (_committer.joinable())
        _committer.join();
}

void ConversionQueue::add(std::size_t index, const FileItem& item)
{
    // The library refuses what is not a regular file, a FIFO without waiting
    // on it; the walk's issues are reported as they are.
    if (item.issue) {
        FileResult r;
        r.outcome = item.issue->outcome;
        r.code = item.issue->code;
        r.message = item.issue->message;
        _done(index, r);
        return;
    }
    const std::string target = targetOf(_options, item);
    FileResult r;
    if (refused(_options, item, target, r)) {
        _done(index, r);
        return;
    }
    if (_filling->waiting.size() >= _window)
        startCommit();
    const auto operation = _options.command == Command::Crypt ? KFsConversionBatch::Crypt : KFsConversionBatch::Decrypt;
    const std::size_t entry = _filling->batch.add(operation, item.path, target);
    _filling->waiting.push_back({ index, &item, target, entry });
}

void ConversionQueue::startCommit()
{
    finishCommit();
    std::swap(_filling, _committing);
    if (_committing->waiting.empty())
        return;
    Batch* b = _committing.get();
    try {
        _committer = std::thread([b] { b->batch.commit(); });
    } catch (const std::system_error&) {
        b->batch.commit(); // no thread to be had: commit here, as before
    }
}

void ConversionQueue::finishCommit()
{
    if (_committer.joinable())
        _committer.join();
    Batch& b = *_committing;
    for (const Waiting& w : b.waiting)
        _done(w.index, converted(_options, *w.item, w.target, b.batch, w.entry));
    b.waiting.clear();
    b.batch.clear();
}

void ConversionQueue::flush()
{
    startCommit();
    finishCommit();
}

std::string jsonReport(const Options& options, const FileItem& item, const FileResult& r)
{
    static const char* const results[] = { "done", "skipped", "failed", "cancelled" };
    char sizes[80];
    std::snprintf(sizes, sizeof sizes, ",\"bytes_in\":%llu,\"bytes_out\":%llu", (unsigned long long)r.bytesIn,
        (unsigned long long)r.bytesOut);
    std::string line = "{\"path\":" + jsonString(item.path) + r.fields + ",\"command\":\"" + commandName(options)
        + "\",\"result\":\"" + results[int(r.outcome)] + "\"" + sizes;
    if (!r.target.empty())
        line += ",\"target\":" + jsonString(r.target);
    if (r.outcome == Outcome::Failed)
        line += ",\"error\":\"" + r.code + "\"";
    if (!r.message.empty())
        line += ",\"message\":" + jsonString(r.message);
    return line + "}\n";
}

} // namespace korv
