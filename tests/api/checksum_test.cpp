// The checksum trailer: check values, round trips, refused files and failed
// writes that must leave the file as it was.
#include "CFileSystem.h"
#include "KFsCryptedFile.h"
#include "crc16_p.h"
#include "testutil.h"

#include <QByteArrayView>
#include <QDir>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/xattr.h>
#endif
#include <unistd.h>

using namespace korvtest;

class Checksum : public TempDirTest {
protected:
    QString qpath(const std::string& name) const { return QString::fromStdString(path(name)); }
};

namespace {

quint16 qtChecksum(const std::string& data)
{
    return qChecksum(QByteArrayView(data.data(), static_cast<qsizetype>(data.size())));
}

quint16 incremental(const std::string& data, std::size_t split)
{
    korv::Crc16X25 crc;
    const auto* p = reinterpret_cast<const std::uint8_t*>(data.data());
    crc.update(p, split);
    crc.update(p + split, data.size() - split);
    return crc.value();
}

} // namespace

// The trailer's values are qChecksum's, however the bytes are handed over:
// at every split the table-driven sum agrees with Qt, including the bytes
// that run before and after its eight-byte steps.
TEST(Crc16X25, EqualsQChecksumOnDataSplitAtEveryOffset)
{
    for (const std::string& data : { std::string("123456789"), noiseContent(301, 7), textContent(97) }) {
        const quint16 expected = qtChecksum(data);
        for (std::size_t split = 0; split <= data.size(); ++split)
            ASSERT_EQ(incremental(data, split), expected) << data.size() << " bytes split at " << split;
    }
    EXPECT_EQ(incremental("123456789", 4), 0x906E);
    const std::string large = noiseContent(1 << 20, 3);
    EXPECT_EQ(incremental(large, 12345), qtChecksum(large));
    EXPECT_EQ(korv::Crc16X25().value(), 0);
}

TEST_F(Checksum, TrailerIsTheBigEndianCrc16X25)
{
    writeFile(path("digits"), "123456789");
    writeFile(path("empty"), "");
    CFileSystem::addCheckSum(qpath("digits"));
    CFileSystem::addCheckSum(qpath("empty"));
    EXPECT_EQ(readFile(path("digits")), "123456789" + fromHex("906e"));
    EXPECT_EQ(toHex(readFile(path("empty"))), "0000");
}

TEST_F(Checksum, RoundTripRestoresTheBytesAndStacksTrailers)
{
    for (const std::string& body : { std::string("ab"), noiseContent(300000), textContent(70001) }) {
        writeFile(path("f"), body);
        setPermissions(path("f"), 0640);
        CFileSystem::addCheckSum(qpath("f"));
        const std::string once = readFile(path("f"));
        CFileSystem::addCheckSum(qpath("f"));
        ASSERT_EQ(readFile(path("f")).size(), body.size() + 4);
        EXPECT_TRUE(CFileSystem::removeCheckSum(qpath("f")));
        EXPECT_EQ(readFile(path("f")), once);
        EXPECT_TRUE(CFileSystem::removeCheckSum(qpath("f")));
        EXPECT_EQ(readFile(path("f")), body);
        EXPECT_EQ(permissions(path("f")), shownMode(0640));
    }
    EXPECT_EQ(listDirectory(root()), std::vector<std::string> { "f" });
}

// Stripping cuts the trailer off the file itself, so everything that belongs
// to the file rather than to its bytes stays: inode, other links, attributes.
TEST_F(Checksum, RemovalCutsTheSameFileAndVerificationChangesNothing)
{
    KORV_SKIP_ON_WINDOWS("xattrs and inode numbers");
#ifndef _WIN32
    const std::string body = noiseContent(200000, 5);
    writeFile(path("f"), body);
    ASSERT_EQ(::link(path("f").c_str(), path("link").c_str()), 0);
    const bool xattrs = ::setxattr(path("f").c_str(), "user.korv", "kept", 4, 0) == 0;
    EXPECT_TRUE(CFileSystem::addCheckSum(qpath("f"), nullptr));
    const std::string withTrailer = readFile(path("f"));
    struct stat before, after;
    ASSERT_EQ(::stat(path("f").c_str(), &before), 0);

    KFsError error;
    EXPECT_TRUE(CFileSystem::verifyCheckSum(qpath("f"), &error));
    EXPECT_TRUE(error.ok());
    EXPECT_EQ(readFile(path("f")), withTrailer);

    EXPECT_TRUE(CFileSystem::removeCheckSum(qpath("f"), &error));
    EXPECT_TRUE(error.ok());
    ASSERT_EQ(::stat(path("f").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(readFile(path("link")), body);
    if (xattrs) {
        char value[8] = {};
        EXPECT_EQ(::getxattr(path("f").c_str(), "user.korv", value, sizeof value), 4);
        EXPECT_STREQ(value, "kept");
    }

    // Without a trailer now: verification and removal refuse, file as it was.
    EXPECT_FALSE(CFileSystem::verifyCheckSum(qpath("f"), &error));
    EXPECT_EQ(error.code, KFsErrorCode::ChecksumMismatch);
    EXPECT_FALSE(CFileSystem::removeCheckSum(qpath("f"), &error));
    EXPECT_EQ(error.code, KFsErrorCode::ChecksumMismatch);
    EXPECT_EQ(error.path, qpath("f"));
    EXPECT_EQ(readFile(path("f")), body);
#endif
}

TEST_F(Checksum, ShortMismatchedAndMissingFilesAreLeftAlone)
{
    writeFile(path("one"), "x");
    CFileSystem::addCheckSum(qpath("one"));
    const std::string oneWithTrailer = readFile(path("one"));
    EXPECT_EQ(oneWithTrailer.size(), 3u);
    EXPECT_FALSE(CFileSystem::removeCheckSum(qpath("one")));
    EXPECT_EQ(readFile(path("one")), oneWithTrailer);

    writeFile(path("empty"), "");
    CFileSystem::addCheckSum(qpath("empty"));
    EXPECT_FALSE(CFileSystem::removeCheckSum(qpath("empty")));
    EXPECT_EQ(toHex(readFile(path("empty"))), "0000");

    writeFile(path("f"), "some body bytes");
    CFileSystem::addCheckSum(qpath("f"));
    std::string changed = readFile(path("f"));
    changed[3] ^= 0x01;
    writeFile(path("f"), changed);
    EXPECT_FALSE(CFileSystem::removeCheckSum(qpath("f")));
    EXPECT_EQ(readFile(path("f")), changed);

    CFileSystem::addCheckSum(qpath("missing"));
    EXPECT_FALSE(fileExists(path("missing")));
    EXPECT_FALSE(CFileSystem::removeCheckSum(qpath("missing")));
    ASSERT_TRUE(QDir().mkdir(qpath("dir")));
    CFileSystem::addCheckSum(qpath("dir"));
    EXPECT_FALSE(CFileSystem::removeCheckSum(qpath("dir")));
}

// A decrypt holds a read lease on a large source while it decodes; a trailer
// added meanwhile waits for it instead of being dropped.
TEST_F(Checksum, AppendWaitsForAReadLease)
{
    KORV_SKIP_ON_WINDOWS("read leases");
#ifndef _WIN32
    writeFile(path("f"), "123456789");
    const int leased = ::open(path("f").c_str(), O_RDONLY);
    ASSERT_GE(leased, 0);
    if (::fcntl(leased, F_SETLEASE, F_RDLCK) != 0) {
        ::close(leased);
        GTEST_SKIP() << "no read leases here";
    }
    // Nobody to signal when the lease is asked back (SIGIO would end us).
    ::fcntl(leased, F_SETOWN, 0);
    std::atomic<bool> done { false };
    std::thread adder([&] {
        CFileSystem::addCheckSum(qpath("f"));
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done);
    EXPECT_EQ(readFile(path("f")), "123456789");
    ::fcntl(leased, F_SETLEASE, F_UNLCK);
    adder.join();
    ::close(leased);
    EXPECT_EQ(readFile(path("f")), "123456789" + fromHex("906e"));
#endif
}

TEST_F(Checksum, ReadOnlyFilesAreNotChanged)
{
    writeFile(path("f"), "protected body");
    CFileSystem::addCheckSum(qpath("f"));
    const std::string withTrailer = readFile(path("f"));
    setPermissions(path("f"), 0444);
    CFileSystem::addCheckSum(qpath("f"));
    EXPECT_EQ(readFile(path("f")), withTrailer);
    EXPECT_FALSE(CFileSystem::removeCheckSum(qpath("f")));
    EXPECT_EQ(readFile(path("f")), withTrailer);
}

TEST_F(Checksum, FailedWritesLeaveTheFileAsItWas)
{
    KORV_SKIP_ON_WINDOWS("RLIMIT_FSIZE");
    // The limit lets the append write one of the two trailer bytes.
    const std::string body = textContent(1000);
    writeFile(path("f"), body);
    EXPECT_EQ(runWithFileSizeLimit(body.size() + 1,
                  [&] {
                      CFileSystem::addCheckSum(qpath("f"));
                      return 0;
                  }),
        0);
    EXPECT_EQ(readFile(path("f")), body);

    // Stripping cuts the file in place: it needs no room, so a limit far
    // below the file's size does not stop it, and nothing is left beside it.
    CFileSystem::addCheckSum(qpath("f"));
    EXPECT_EQ(runWithFileSizeLimit(1, [&] { return CFileSystem::removeCheckSum(qpath("f")) ? 1 : 0; }), 1);
    EXPECT_EQ(readFile(path("f")), body);
    EXPECT_EQ(listDirectory(root()), std::vector<std::string> { "f" });
}

TEST_F(Checksum, ARaisedCancelFlagStopsTheCallsAndLeavesTheFile)
{
    const std::string body = textContent(3 << 20);
    writeFile(path("f"), body);
    CFileSystem::addCheckSum(qpath("f"));
    const std::string withTrailer = readFile(path("f"));

    std::atomic<bool> raised { true };
    KFsCryptedFile::setCancelFlag(&raised);
    KFsError error;
    EXPECT_FALSE(CFileSystem::removeCheckSum(qpath("f"), &error));
    EXPECT_EQ(error.code, KFsErrorCode::Cancelled);
    EXPECT_FALSE(CFileSystem::addCheckSum(qpath("f"), &error));
    EXPECT_EQ(error.code, KFsErrorCode::Cancelled);
    KFsCryptedFile::setCancelFlag(nullptr);
    EXPECT_TRUE(readFile(path("f")) == withTrailer);
    EXPECT_TRUE(CFileSystem::removeCheckSum(qpath("f")));
    EXPECT_TRUE(readFile(path("f")) == body);
}
