// KFsCryptedDevice and the streaming decoder behind it: reading with Qt's
// streams, damage reported where it is met, seeks both ways, the write path
// with commit, cancel and a full disk, and the in-memory conversions.
#include "KFsCryptedDevice.h"
#include "KFsCryptedFile.h"
#include "inflater_p.h"
#include "testutil.h"

#include <QBuffer>
#include <QDataStream>
#include <QFile>
#include <QTextStream>
#include <cstring>
#include <random>

#include <zlib.h>
#ifndef _WIN32
#include <unistd.h>
#endif

using namespace korvtest;

namespace {

QByteArray bytes(const std::string& s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}

std::string str(const QByteArray& a)
{
    return std::string(a.constData(), std::size_t(a.size()));
}

// Everything the device gives in reads of `chunk` bytes; *failed is set when
// a read returned -1, which must then be the last read.
std::string readInChunks(QIODevice& device, qint64 chunk, bool* failed)
{
    std::string all(std::size_t(chunk), '\0');
    std::string result;
    *failed = false;
    for (;;) {
        const qint64 got = device.read(all.data(), chunk);
        if (got < 0) {
            *failed = true;
            return result;
        }
        if (got == 0)
            return result;
        result.append(all.data(), std::size_t(got));
    }
}

// A source that can only be read forward, as a pipe or a socket.
class Pipe final : public QIODevice {
public:
    explicit Pipe(const QByteArray& bytes)
        : _bytes(bytes)
    {
        open(ReadOnly);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 n = std::min(maxSize, _bytes.size() - _at);
        std::memcpy(data, _bytes.constData() + _at, std::size_t(n));
        _at += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray _bytes;
    qint64 _at = 0;
};

} // namespace

class Device : public TempDirTest {
protected:
    void checkDamage(const std::string& plain);
};

TEST_F(Device, ReadsThroughQtStreamsAndPlainFilesAsTheyAre)
{
    const std::string text = "first line\nsecond line\n" + textContent(300000);
    writeFile(path("text.kr"), qtCrypted(text));
    KFsCryptedDevice device(QString::fromStdString(path("text.kr")));
    ASSERT_TRUE(device.open(QIODevice::ReadOnly)) << device.errorString().toStdString();
    EXPECT_TRUE(device.isCrypted());
    EXPECT_EQ(device.storedSize(), qint64(text.size()));
    QTextStream stream(&device);
    EXPECT_EQ(stream.readLine(), "first line");
    EXPECT_EQ(stream.readLine(), "second line");
    EXPECT_TRUE(stream.readAll().toStdString() == text.substr(23));
    EXPECT_TRUE(device.atEnd());

    writeFile(path("plain"), "kx not crypted");
    KFsCryptedDevice plain(QString::fromStdString(path("plain")));
    ASSERT_TRUE(plain.open(QIODevice::ReadOnly));
    EXPECT_FALSE(plain.isCrypted());
    EXPECT_EQ(plain.storedSize(), -1);
    EXPECT_EQ(str(plain.readAll()), "kx not crypted");

    // The same through a source that cannot seek.
    Pipe pipe(bytes(qtCrypted(text)));
    KFsCryptedDevice overPipe(&pipe);
    ASSERT_TRUE(overPipe.open(QIODevice::ReadOnly));
    EXPECT_TRUE(overPipe.isSequential());
    EXPECT_TRUE(str(overPipe.readAll()) == text);
    EXPECT_FALSE(overPipe.seek(0));
    // A seek that fails takes nothing, forward either: skip() does that.
    for (const std::string& source : { qtCrypted(text), text }) {
        Pipe again(bytes(source));
        KFsCryptedDevice sequential(&again);
        ASSERT_TRUE(sequential.open(QIODevice::ReadOnly));
        EXPECT_FALSE(sequential.seek(11));
        EXPECT_EQ(sequential.error().code, KFsErrorCode::IoError);
        EXPECT_EQ(str(sequential.read(5)), "first");
        EXPECT_EQ(sequential.skip(6), 6);
        EXPECT_EQ(str(sequential.read(6)), "second");
    }

    // A source that can seek lets the device go back.
    QByteArray crypted = bytes(qtCrypted(text));
    QBuffer buffer(&crypted);
    buffer.open(QIODevice::ReadOnly);
    KFsCryptedDevice overBuffer(&buffer);
    ASSERT_TRUE(overBuffer.open(QIODevice::ReadOnly));
    EXPECT_EQ(overBuffer.readAll().size(), qint64(text.size()));
    ASSERT_TRUE(overBuffer.seek(5));
    EXPECT_EQ(str(overBuffer.read(10)), text.substr(5, 10));
}

// Text mode reads as QFile reads the plain file: "\r\n" comes out as "\n",
// and openMode() keeps the flag the caller gave.
TEST_F(Device, TextModeReadsLineEndsAsQFileDoes)
{
    const std::string text = "one\r\ntwo\r\n" + textContent(100000) + "\r\nlast";
    writeFile(path("text"), text);
    writeFile(path("text.kr"), qtCrypted(text));
    QFile plain(QString::fromStdString(path("text")));
    ASSERT_TRUE(plain.open(QIODevice::ReadOnly | QIODevice::Text));
    const QByteArray expected = plain.readAll();
    for (const char* name : { "text.kr", "text" }) {
        KFsCryptedDevice device(QString::fromStdString(path(name)));
        ASSERT_TRUE(device.open(QIODevice::ReadOnly | QIODevice::Text)) << name;
        EXPECT_TRUE(device.openMode() & QIODevice::Text) << name;
        EXPECT_EQ(device.readLine(), "one\n") << name;
        EXPECT_TRUE(device.readAll() == expected.mid(4)) << name;
    }
}

// Bytes peeked, put back with ungetChar() or kept by a rolled-back
// transaction are still to be read: neither atEnd() nor bytesAvailable()
// may pass over them, whatever the device reads from.
TEST_F(Device, BytesQtHoldsForTheCallerAreNotTheEnd)
{
    const QByteArray text = "one\ntwo\nthree\n";
    const QByteArray crypted = bytes(qtCrypted(str(text)));
    writeFile(path("text.kr"), str(crypted));
    writeFile(path("text"), str(text));
    const auto check = [&](KFsCryptedDevice& device) {
        ASSERT_TRUE(device.open(QIODevice::ReadOnly));
        EXPECT_EQ(device.peek(100), text);
        EXPECT_FALSE(device.atEnd());
        EXPECT_EQ(device.bytesAvailable(), text.size());
        QTextStream stream(&device);
        QStringList lines;
        while (!stream.atEnd())
            lines << stream.readLine();
        EXPECT_EQ(lines, QStringList({ "one", "two", "three" }));
        device.ungetChar('\n');
        EXPECT_FALSE(device.atEnd());
        EXPECT_EQ(device.bytesAvailable(), 1);
        EXPECT_EQ(device.readAll(), "\n");
        EXPECT_TRUE(device.atEnd());
    };
    for (const char* name : { "text.kr", "text" }) {
        SCOPED_TRACE(name);
        KFsCryptedDevice device(QString::fromStdString(path(name)));
        check(device);
    }
    for (const QByteArray& source : { crypted, text }) {
        SCOPED_TRACE(source == text ? "plain pipe" : "crypted pipe");
        Pipe pipe(source);
        KFsCryptedDevice device(&pipe);
        check(device);

        Pipe again(source);
        KFsCryptedDevice overPipe(&again);
        ASSERT_TRUE(overPipe.open(QIODevice::ReadOnly));
        overPipe.startTransaction();
        EXPECT_EQ(overPipe.readAll(), text);
        overPipe.rollbackTransaction();
        EXPECT_FALSE(overPipe.atEnd());
        EXPECT_EQ(overPipe.bytesAvailable(), text.size());
        EXPECT_EQ(overPipe.readAll(), text);
    }
}

TEST_F(Device, APlainFileCutShortWhileReadFailsTheRead)
{
    KORV_SKIP_ON_WINDOWS("truncating a file held open for reading");
#ifndef _WIN32
    const std::string plain = textContent(200000, 3);
    writeFile(path("plain"), plain);
    KFsCryptedDevice device(QString::fromStdString(path("plain")));
    ASSERT_TRUE(device.open(QIODevice::ReadOnly));
    EXPECT_EQ(str(device.read(1000)), plain.substr(0, 1000));
    ASSERT_EQ(::truncate(path("plain").c_str(), 500), 0);
    bool failed = false;
    EXPECT_EQ(readInChunks(device, 4096, &failed), "");
    EXPECT_TRUE(failed);
    EXPECT_EQ(device.error().code, KFsErrorCode::IoError);
    EXPECT_EQ(device.error().offset, 1000);
    EXPECT_TRUE(device.atEnd());
#endif
}

TEST_F(Device, WritesWhatQDataStreamReadsBack)
{
    const QString name = QString::fromStdString(path("data.kr"));
    {
        KFsCryptedDevice device(name);
        ASSERT_TRUE(device.open(QIODevice::WriteOnly));
        QDataStream out(&device);
        out << QString("name") << qint64(1234567890123) << QByteArray(100000, 'x');
        ASSERT_TRUE(device.commit()) << device.errorString().toStdString();
    }
    KFsCryptedDevice device(name);
    ASSERT_TRUE(device.open(QIODevice::ReadOnly));
    QDataStream in(&device);
    QString s;
    qint64 n = 0;
    QByteArray a;
    in >> s >> n >> a;
    EXPECT_EQ(in.status(), QDataStream::Ok);
    EXPECT_EQ(s, "name");
    EXPECT_EQ(n, 1234567890123);
    EXPECT_EQ(a, QByteArray(100000, 'x'));
}

TEST_F(Device, OpenFailsWithAReason)
{
    KFsCryptedDevice missing(QString::fromStdString(path("missing")));
    EXPECT_FALSE(missing.open(QIODevice::ReadOnly));
    EXPECT_EQ(missing.error().code, KFsErrorCode::NotFound);
    EXPECT_FALSE(missing.errorString().isEmpty());

    KFsCryptedDevice directory(QString::fromStdString(root()));
    EXPECT_FALSE(directory.open(QIODevice::ReadOnly));
    EXPECT_EQ(directory.error().code, KFsErrorCode::NotRegularFile);

    writeFile(path("f.kr"), qtCrypted("content"));
    KFsCryptedDevice both(QString::fromStdString(path("f.kr")));
    EXPECT_FALSE(both.open(QIODevice::ReadWrite));
    EXPECT_TRUE(both.errorString().contains("KFsCryptedFile"));
    EXPECT_EQ(readFile(path("f.kr")), qtCrypted("content"));
}

// Each kind of damage: the bytes before it are given, then the read that
// meets it fails (never a clean end) and the error says where.
TEST_F(Device, DamageFailsTheReadThatMeetsIt)
{
    // A small file, decoded whole at open, and one streamed.
    for (const std::string& plain :
        { textContent(50000, 7), textContent(3 << 20, 7) + noiseContent(1 << 20, 7) })
        checkDamage(plain);
}

void Device::checkDamage(const std::string& plain)
{
    const std::string good = qtCrypted(plain);
    struct Damage {
        const char* name;
        std::string file;
        std::int64_t offsetFrom, offsetTo; // where the error may be reported
    };
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x55;
    std::string adler = good;
    adler.back() ^= 1;
    const Damage damages[] = {
        { "truncated", good.substr(0, good.size() / 2), std::int64_t(good.size() / 2),
            std::int64_t(good.size() / 2) },
        { "truncated in the Adler-32", good.substr(0, good.size() - 2), std::int64_t(good.size() - 2),
            std::int64_t(good.size() - 2) },
        { "corrupt", flipped, std::int64_t(good.size() / 2), std::int64_t(good.size()) },
        { "Adler-32 mismatch", adler, std::int64_t(good.size() - 4), std::int64_t(good.size() - 4) },
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(std::string(damage.name) + " of " + std::to_string(plain.size()));
        writeFile(path("damaged.kr"), damage.file);
        KFsCryptedDevice device(QString::fromStdString(path("damaged.kr")));
        ASSERT_TRUE(device.open(QIODevice::ReadOnly));
        bool failed = false;
        const std::string got = readInChunks(device, 64 << 10, &failed);
        EXPECT_TRUE(failed);
        // A flipped bit may decode to other bytes until the check fails.
        if (damage.offsetFrom == damage.offsetTo) {
            EXPECT_TRUE(got == plain.substr(0, got.size())) << got.size();
        }
        EXPECT_EQ(device.error().code, KFsErrorCode::Corrupt);
        EXPECT_GE(device.error().offset, damage.offsetFrom);
        EXPECT_LE(device.error().offset, damage.offsetTo);
        EXPECT_TRUE(device.errorString().startsWith("corrupt data")) << device.errorString().toStdString();
        EXPECT_EQ(device.read(1), QByteArray());
        EXPECT_TRUE(device.atEnd());
    }
}

TEST_F(Device, AWrongStoredLengthLosesNothing)
{
    const std::string plain = textContent(500000, 3);
    for (std::uint32_t stored : { 10u, 499999u, 500001u, 90000000u }) {
        writeFile(path("f.kr"), withStoredLength(qtCrypted(plain), stored));
        KFsCryptedDevice device(QString::fromStdString(path("f.kr")));
        ASSERT_TRUE(device.open(QIODevice::ReadOnly));
        EXPECT_EQ(device.size(), qint64(plain.size()));
        EXPECT_TRUE(str(device.readAll()) == plain);
        EXPECT_TRUE(device.atEnd());
    }
    // A zero length ahead of what is no stream is the empty content, as decrypt has it.
    writeFile(path("f.kr"), fromHex("6b7200000000") + "\x12\x34");
    KFsCryptedDevice device(QString::fromStdString(path("f.kr")));
    ASSERT_TRUE(device.open(QIODevice::ReadOnly));
    bool failed = true;
    EXPECT_EQ(readInChunks(device, 100, &failed), "");
    EXPECT_FALSE(failed);
}

TEST_F(Device, SeeksBothWaysAgainstKnownContent)
{
    // Several MiB, so that the decoder keeps access points.
    const std::string plain = textContent(5 << 20, 11) + noiseContent(2 << 20, 11) + textContent(3 << 20, 12);
    writeFile(path("big.kr"), qtCrypted(plain));
    KFsCryptedDevice device(QString::fromStdString(path("big.kr")));
    ASSERT_TRUE(device.open(QIODevice::ReadOnly));
    std::mt19937 random(5);
    for (int i = 0; i < 200; ++i) {
        const qint64 at = qint64(random() % (plain.size() + 100));
        ASSERT_TRUE(device.seek(at));
        EXPECT_EQ(device.pos(), at);
        const std::string want = at < qint64(plain.size()) ? plain.substr(std::size_t(at), 1024) : "";
        ASSERT_EQ(str(device.read(1024)), want) << "at " << at;
    }
    EXPECT_EQ(device.size(), qint64(plain.size()));
    ASSERT_TRUE(device.seek(0));
    EXPECT_TRUE(str(device.readAll()) == plain);
}

TEST_F(Device, CommitReplacesTheFileAsCryptWould)
{
    const std::string content = textContent(700000, 4) + noiseContent(300000, 4);
    writeFile(path("plain"), content);
    ASSERT_TRUE(KFsCryptedFile::crypt(path("by-crypt.kr"), path("plain")));
    writeFile(path("f.kr"), "old content");
    const std::string target = path("new/dir/f.kr");
    for (const std::string& name : { path("f.kr"), target }) {
        KFsCryptedDevice device(QString::fromStdString(name));
        ASSERT_TRUE(device.open(QIODevice::WriteOnly | QIODevice::Truncate));
        // Writes of every size: gathered, or deflated at once.
        std::size_t done = 0;
        for (std::size_t step = 1; done < content.size(); step = step * 3 + 1) {
            const std::size_t n = std::min(step % 200000, content.size() - done);
            ASSERT_EQ(device.write(content.data() + done, qint64(n)), qint64(n));
            done += n;
        }
        EXPECT_EQ(device.size(), qint64(content.size()));
        if (name == path("f.kr")) {
            EXPECT_EQ(readFile(name), "old content");
        }
        ASSERT_TRUE(device.commit());
        EXPECT_TRUE(readFile(name) == readFile(path("by-crypt.kr")));
    }
    EXPECT_EQ(listDirectory(path("new/dir")), std::vector<std::string> { "f.kr" });

    // Append starts from the current content.
    KFsCryptedDevice more(QString::fromStdString(target));
    ASSERT_TRUE(more.open(QIODevice::WriteOnly | QIODevice::Append));
    EXPECT_EQ(more.pos(), qint64(content.size()));
    more.write("tail");
    ASSERT_TRUE(more.commit());
    EXPECT_TRUE(readFile(target) == qtCrypted(content + "tail"));
}

// A second open() fails as QFile's does and leaves the device as it was:
// what was written is still committed.
TEST_F(Device, ASecondOpenChangesNothing)
{
    const QString name = QString::fromStdString(path("f.kr"));
    KFsCryptedDevice device(name);
    ASSERT_TRUE(device.open(QIODevice::WriteOnly));
    EXPECT_EQ(device.write("kept"), 4);
    for (QIODevice::OpenMode mode : { QIODevice::WriteOnly, QIODevice::ReadOnly }) {
        EXPECT_FALSE(device.open(mode));
        EXPECT_EQ(device.error().code, KFsErrorCode::IoError);
    }
    EXPECT_EQ(device.write(" too"), 4);
    ASSERT_TRUE(device.commit()) << device.errorString().toStdString();
    EXPECT_EQ(readFile(path("f.kr")), qtCrypted("kept too"));

    ASSERT_TRUE(device.open(QIODevice::ReadOnly));
    EXPECT_FALSE(device.open(QIODevice::ReadOnly));
    EXPECT_EQ(str(device.readAll()), "kept too");
}

TEST_F(Device, CancelAndDestructionLeaveTheFileAsItWas)
{
    writeFile(path("f.kr"), qtCrypted("old"));
    for (int way = 0; way < 3; ++way) {
        {
            KFsCryptedDevice device(QString::fromStdString(path("f.kr")));
            ASSERT_TRUE(device.open(QIODevice::WriteOnly));
            device.write(bytes(noiseContent(200000)));
            EXPECT_EQ(listDirectory(root()).size(), 2u); // the file and the new one beside it
            if (way == 0)
                device.cancelWriting();
            else if (way == 1)
                device.close();
            EXPECT_FALSE(way < 2 && device.commit());
        }
        EXPECT_EQ(listDirectory(root()), std::vector<std::string> { "f.kr" });
        EXPECT_EQ(readFile(path("f.kr")), qtCrypted("old"));
    }
}

TEST_F(Device, AWriteThatRunsOutOfRoomKeepsTheOldFile)
{
    KORV_SKIP_ON_WINDOWS("RLIMIT_FSIZE");
    writeFile(path("f.kr"), qtCrypted("old"));
    const std::string content = noiseContent(2 << 20, 9);
    const int status = runWithFileSizeLimit(256 << 10, [&] {
        KFsCryptedDevice device(QString::fromStdString(path("f.kr")));
        if (!device.open(QIODevice::WriteOnly))
            return 2;
        const bool written = device.write(bytes(content)) == qint64(content.size());
        const bool committed = device.commit();
        return written || committed ? 3 : device.error().code == KFsErrorCode::NoSpace ? 0 : 4;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(listDirectory(root()), std::vector<std::string> { "f.kr" });
    EXPECT_EQ(readFile(path("f.kr")), qtCrypted("old"));
}

TEST_F(Device, InMemoryConversionsMatchCryptAndDecrypt)
{
    for (const std::string& plain :
        { std::string(), std::string("x"), textContent(400000, 2), noiseContent(70000) }) {
        writeFile(path("plain"), plain);
        ASSERT_TRUE(KFsCryptedFile::crypt(path("c.kr"), path("plain")));
        const QByteArray encoded = KFsCryptedDevice::encode(bytes(plain));
        EXPECT_TRUE(str(encoded) == readFile(path("c.kr")));
        bool ok = false;
        EXPECT_TRUE(str(KFsCryptedDevice::decode(encoded, &ok)) == plain);
        EXPECT_TRUE(ok);
        // A stored length that is wrong: the stream decides, as in decrypt.
        if (!plain.empty()) {
            EXPECT_TRUE(
                str(KFsCryptedDevice::decode(bytes(withStoredLength(str(encoded), 3)), &ok)) == plain);
            EXPECT_TRUE(ok);
        }
    }
    bool ok = false;
    EXPECT_EQ(KFsCryptedDevice::decode("plain bytes", &ok), "plain bytes");
    EXPECT_TRUE(ok);
    std::string damaged = qtCrypted(textContent(100000));
    damaged[damaged.size() - 1] ^= 1;
    ok = true;
    EXPECT_TRUE(KFsCryptedDevice::decode(bytes(damaged), &ok).isEmpty());
    EXPECT_FALSE(ok);
}

// The decoder gives zlib's answer whatever the stream's parameters and
// however its input arrives, and an access point carries on as if decoding
// had never stopped.
TEST(Inflater, AgreesWithZlibInPiecesAndFromAccessPoints)
{
    const std::string plain = textContent(3 << 20, 21) + noiseContent(200000, 21);
    for (int windowBits : { 9, 12, 15 }) {
        z_stream z {};
        ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY), Z_OK);
        std::string stream(deflateBound(&z, uLong(plain.size())), '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
        z.avail_in = uInt(plain.size());
        z.next_out = reinterpret_cast<Bytef*>(stream.data());
        z.avail_out = uInt(stream.size());
        ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
        stream.resize(z.total_out);
        deflateEnd(&z);
        stream += "bytes after the end";

        korv::format::Inflater inflater;
        korv::format::AccessIndex index;
        std::string out, piece(70001, '\0');
        const auto* in = reinterpret_cast<const std::uint8_t*>(stream.data());
        std::size_t at = 0, step = 1;
        korv::format::Inflater::Status status = korv::format::Inflater::Status::Progress;
        while (status == korv::format::Inflater::Status::Progress) {
            const std::size_t n = std::min(step, stream.size() - at);
            std::size_t used = 0, produced = 0;
            status = inflater.step(in + at, n, at + n == stream.size(), used,
                reinterpret_cast<std::uint8_t*>(piece.data()), piece.size(), produced);
            at += used;
            out.append(piece.data(), produced);
            index.offer(inflater);
            step = step * 2 % 100003 + 1;
        }
        ASSERT_EQ(status, korv::format::Inflater::Status::End);
        EXPECT_TRUE(out == plain);

        const auto* point = index.before(plain.size());
        ASSERT_NE(point, nullptr);
        ASSERT_TRUE(inflater.restore(*point));
        std::size_t used = 0, produced = 0;
        const std::size_t from = std::size_t(point->inputOffset());
        status = inflater.step(in + from, stream.size() - from, true, used,
            reinterpret_cast<std::uint8_t*>(piece.data()), piece.size(), produced);
        EXPECT_TRUE(piece.substr(0, produced) == plain.substr(std::size_t(point->outputOffset()), produced));
    }
}
