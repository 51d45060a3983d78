// Content larger than a 32-bit address space: in a child whose address space
// is limited to 3 GiB, every whole-file path must stream what it cannot map.
#include "CFileSystem.h"
#include "KFsCryptedDevice.h"
#include "KFsCryptedFile.h"
#include "testutil.h"

#include <QFile>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

using namespace korvtest;

namespace {

constexpr std::uint64_t kAddressSpace = 3ull << 30;
constexpr std::size_t kBlock = 1 << 20;

// One MiB of content, compressible but with no short period, so that bytes
// read from the wrong place change the digest.
std::string block()
{
    std::string b(kBlock, '\0');
    for (std::size_t i = 0; i < kBlock; ++i)
        b[i] = char((i % 251) ^ (i >> 16));
    return b;
}

std::string deflated(const std::string& plain, int flush)
{
    z_stream z {};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, uLong(plain.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    z.avail_in = uInt(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, flush);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

std::string bigEndian32(std::uint32_t v)
{
    return { char(v >> 24), char(v >> 16), char(v >> 8), char(v) };
}

// Writes a crypted file of `size` bytes of content, the block over and over,
// in a few MB: the block deflated once with a full flush (no reference to
// what came before) and repeated. The stored length is the size's low 32
// bits, as a writer that lets it wrap stores it. Returns the content's CRC-32.
std::uint32_t writeRepeated(const std::string& path, std::uint64_t size)
{
    const std::string plain = block();
    const std::string once = deflated(plain, Z_FULL_FLUSH);
    const auto tail = std::size_t(size % kBlock);
    const auto* bytes = reinterpret_cast<const Bytef*>(plain.data());
    const uLong blockAdler = adler32(1, bytes, uInt(kBlock)), blockCrc = crc32(0, bytes, uInt(kBlock));
    uLong adler = 1, crc = 0;
    std::ofstream f(path, std::ios::binary);
    f << "kr" << bigEndian32(std::uint32_t(size)) << "\x78\x9c";
    for (std::uint64_t i = 0; i < size / kBlock; ++i) {
        f << once;
        adler = adler32_combine64(adler, blockAdler, kBlock);
        crc = crc32_combine64(crc, blockCrc, kBlock);
    }
    f << deflated(plain.substr(0, tail), Z_FINISH);
    adler = adler32_combine64(adler, adler32(1, bytes, uInt(tail)), z_off64_t(tail));
    crc = crc32_combine64(crc, crc32(0, bytes, uInt(tail)), z_off64_t(tail));
    f << bigEndian32(std::uint32_t(adler));
    return std::uint32_t(crc);
}

struct Digest {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    bool operator==(const Digest& o) const { return size == o.size && crc == o.crc; }
};

// Reads a chunk at a time: read(buffer, n) gives the next bytes, 0 at the end, -1 on failure.
template <class Read>
Digest digestOf(Read read)
{
    std::unique_ptr<char[]> buffer(new char[kBlock]);
    Digest d;
    for (qint64 n; (n = read(buffer.get(), qint64(kBlock))) > 0; d.size += std::uint64_t(n))
        d.crc = std::uint32_t(crc32(d.crc, reinterpret_cast<const Bytef*>(buffer.get()), uInt(n)));
    return d;
}

Digest fileDigest(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return {};
    const Digest d = digestOf([f](char* b, qint64 n) { return qint64(std::fread(b, 1, std::size_t(n), f)); });
    std::fclose(f);
    return d;
}

// Decrypts crypted into a FIFO and digests what comes out of it: the whole
// decode path without the cost of writing gigabytes to disk. False when the
// decrypt fails.
bool decryptedDigest(const std::string& crypted, const std::string& fifo, Digest& digest)
{
    if (::mkfifo(fifo.c_str(), 0600) != 0)
        return false;
    std::thread reader([&] { digest = fileDigest(fifo); });
    const bool ok = KFsCryptedFile::decrypt(crypted, fifo);
    reader.join();
    ::unlink(fifo.c_str());
    return ok;
}

// Runs body in a child whose address space is limited: its exit status, or
// 128 + the signal that ended it.
int runInSmallAddressSpace(const std::function<int()>& body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit limit { kAddressSpace, kAddressSpace };
        if (::setrlimit(RLIMIT_AS, &limit) != 0)
            ::_exit(99);
        // Nothing may escape into the test framework's copy in the child.
        try {
            ::_exit(body());
        } catch (...) {
            ::_exit(98);
        }
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class AddressSpace : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "a sanitizer's shadow memory needs far more than a 3 GiB address space";
#endif
        // Disk, not tmpfs: the content is written out whole.
        ASSERT_TRUE(_dir.isValid());
    }
    std::string path(const char* name) const { return _dir.path().toStdString() + "/" + name; }

    QTemporaryDir _dir { QStringLiteral("/var/tmp/korv-addr-XXXXXX") };
};

} // namespace

// The largest content the format stores, 4 GiB - 1, through every whole-file
// path: none may map or allocate it whole.
TEST_F(AddressSpace, LargestContentDecodesThroughEveryPath)
{
    const std::string crypted = path("large.kr"), plain = path("plain");
    const Digest expected { 0xFFFFFFFFull, writeRepeated(crypted, 0xFFFFFFFFull) };
    CFileSystem::addCheckSum(QString::fromStdString(crypted));
    qputenv("TMPDIR", _dir.path().toLocal8Bit());

    const int failed = runInSmallAddressSpace([&] {
        int failures = 0;
        Digest decrypted;
        if (!decryptedDigest(crypted, plain, decrypted) || !(decrypted == expected))
            failures |= 1;
        if (!CFileSystem::verifyCheckSum(QString::fromStdString(crypted), nullptr))
            failures |= 2;
        {
            KFsCryptedFile handle(crypted, KFsRead);
            if (!(fileDigest(handle.getDecryptedFilePath()) == expected))
                failures |= 4;
        }
        KFsCryptedDevice device(QString::fromStdString(crypted));
        const bool opened = device.open(QIODevice::ReadOnly);
        const Digest read = digestOf([&](char* b, qint64 n) { return device.read(b, n); });
        // Back from the end through the access points: the last bytes of a block.
        char last[16] = {};
        const std::string expectedLast = block().substr(kBlock - 1 - sizeof last, sizeof last);
        if (!opened || !(read == expected) || device.size() != qint64(expected.size)
            || !device.seek(qint64(expected.size) - qint64(sizeof last))
            || device.read(last, sizeof last) != qint64(sizeof last)
            || std::string(last, sizeof last) != expectedLast)
            failures |= 8;
        // Content that cannot be held in memory fails, rather than throw.
        QFile file(QString::fromStdString(crypted));
        bool ok = true;
        try {
            if (!file.open(QIODevice::ReadOnly) || !KFsCryptedDevice::decode(file.readAll(), &ok).isEmpty() || ok)
                failures |= 16;
        } catch (...) {
            failures |= 16;
        }
        return failures;
    });
    EXPECT_FALSE(failed & 1) << "decrypt";
    EXPECT_FALSE(failed & 2) << "verifyCheckSum";
    EXPECT_FALSE(failed & 4) << "read handle";
    EXPECT_FALSE(failed & 8) << "device";
    EXPECT_FALSE(failed & 16) << "in-memory decode";
    EXPECT_LT(failed, 32) << "the child ended with " << failed;
}

// Content past 4 GiB, written by a writer that let the stored length wrap
// (to 1 GiB here): the stream decides, so all 5 GiB come out.
TEST_F(AddressSpace, ContentWhoseStoredLengthWrappedDecryptsWhole)
{
    const std::string crypted = path("wrapped.kr"), plain = path("plain");
    const Digest expected { 5ull << 30, writeRepeated(crypted, 5ull << 30) };
    EXPECT_EQ(runInSmallAddressSpace([&] {
        Digest decrypted;
        return decryptedDigest(crypted, plain, decrypted) && decrypted == expected ? 0 : 1;
    }),
        0);
}
