// The checksum trailer: check values, round trips, refused files and failed
// writes that must leave the file as it was.
#include "CFileSystem.h"
#include "testutil.h"

#include <QDir>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

using namespace korvtest;

class Checksum : public TempDirTest {
protected:
    QString qpath(const std::string& name) const { return QString::fromStdString(path(name)); }
};

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
        EXPECT_EQ(permissions(path("f")), 0640u);
    }
    EXPECT_EQ(listDirectory(root()), std::vector<std::string> { "f" });
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

    // Stripping writes the body anew: a limit below its size stops it.
    CFileSystem::addCheckSum(qpath("f"));
    const std::string withTrailer = readFile(path("f"));
    EXPECT_EQ(runWithFileSizeLimit(500, [&] { return CFileSystem::removeCheckSum(qpath("f")) ? 1 : 0; }), 0);
    EXPECT_EQ(readFile(path("f")), withTrailer);
    EXPECT_EQ(listDirectory(root()), std::vector<std::string> { "f" });
}
