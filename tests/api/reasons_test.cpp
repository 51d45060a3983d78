// Why crypt, decrypt and the checksum calls failed: the code, the file it
// concerns and where crypted data is damaged, for the failures a tool meets.
#include "CFileSystem.h"
#include "KFsCryptedFile.h"
#include "testutil.h"

#include <QDir>

#include <QFile>

using namespace korvtest;

class Reasons : public TempDirTest {
protected:
    QString qpath(const std::string& name) const { return QString::fromStdString(path(name)); }

    KFsError decrypt(const std::string& source, const std::string& target)
    {
        KFsError error;
        error.code = KFsErrorCode::Cancelled; // must be overwritten
        bool crypted = false;
        EXPECT_FALSE(KFsCryptedFile::decrypt(path(source), path(target), &crypted, &error));
        return error;
    }
    KFsError crypt(const std::string& target, const std::string& source)
    {
        KFsError error;
        EXPECT_FALSE(KFsCryptedFile::crypt(path(target), path(source), &error));
        return error;
    }
};

TEST_F(Reasons, EachFailureNamesItsCauseAndFile)
{
    writeFile(path("plain"), "plain bytes");
    ASSERT_TRUE(QDir().mkdir(qpath("dir")));

    KFsError e = decrypt("missing", "out");
    EXPECT_EQ(e.code, KFsErrorCode::NotFound);
    EXPECT_EQ(e.path, qpath("missing"));
    EXPECT_EQ(e.toString(), qpath("missing") + ": No such file or directory");

    e = crypt("out", "dir");
    EXPECT_EQ(e.code, KFsErrorCode::NotRegularFile);
    EXPECT_EQ(e.path, qpath("dir"));

    e = crypt("dir", "plain");
    EXPECT_EQ(e.code, KFsErrorCode::NotRegularFile);
    EXPECT_EQ(e.path, qpath("dir"));

    // A regular file where the target's directory should be.
    e = decrypt("plain", "plain/out");
    EXPECT_EQ(e.code, KFsErrorCode::NotFound);
    EXPECT_EQ(e.path, qpath("plain/out"));
    EXPECT_FALSE(e.message.isEmpty());

    // The format stores a 32-bit length: a sparse 4 GiB source is refused
    // before anything is read.
    QFile huge(qpath("huge"));
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
    ASSERT_TRUE(huge.resize(qint64(1) << 32));
    huge.close();
    e = crypt("out", "huge");
    EXPECT_EQ(e.code, KFsErrorCode::TooLarge);
    EXPECT_EQ(e.path, qpath("huge"));
    EXPECT_FALSE(fileExists(path("out")));

    KFsError ok;
    ok.code = KFsErrorCode::IoError;
    EXPECT_TRUE(KFsCryptedFile::crypt(path("out"), path("plain"), &ok));
    EXPECT_TRUE(ok.ok());
    EXPECT_TRUE(ok.path.isEmpty());
}

// Damage is told apart from the end of the data, and found where it is.
TEST_F(Reasons, CorruptSourcesSayWhatIsWrongAndWhere)
{
    const std::string good = qtCrypted(textContent(100000));
    writeFile(path("truncated"), good.substr(0, good.size() - 100));
    std::string badAdler = good;
    badAdler.back() ^= 1;
    writeFile(path("adler"), badAdler);
    std::string damaged = good;
    damaged[20] ^= 0x55;
    writeFile(path("damaged"), damaged);

    KFsError e = decrypt("truncated", "out");
    EXPECT_EQ(e.code, KFsErrorCode::Corrupt);
    EXPECT_EQ(e.path, qpath("truncated"));
    EXPECT_EQ(e.offset, qint64(good.size() - 100));
    EXPECT_TRUE(e.message.contains("ends early")) << e.message.toStdString();

    e = decrypt("adler", "out");
    EXPECT_EQ(e.code, KFsErrorCode::Corrupt);
    EXPECT_TRUE(e.message.contains("Adler-32")) << e.message.toStdString();
    EXPECT_GT(e.offset, qint64(good.size()) - 8);

    e = decrypt("damaged", "out");
    EXPECT_EQ(e.code, KFsErrorCode::Corrupt);
    EXPECT_GE(e.offset, 20);
    EXPECT_LT(e.offset, qint64(good.size()));
    EXPECT_FALSE(fileExists(path("out")));
}

// A full disk, a quota and the file size limit all read as no room.
TEST_F(Reasons, WritesBeyondTheFileSizeLimitAreNoSpaceOnTheTarget)
{
    KORV_SKIP_ON_WINDOWS("RLIMIT_FSIZE");
    writeFile(path("plain"), noiseContent(100000));
    writeFile(path("crypted"), qtCrypted(noiseContent(100000)));
    const auto codeWithin = [&](const std::function<bool(KFsError&)>& call) {
        return runWithFileSizeLimit(1000, [&] {
            KFsError e;
            return call(e) ? 100 : (e.path == qpath("target") ? int(e.code) : 101);
        });
    };
    EXPECT_EQ(
        codeWithin([&](KFsError& e) { return KFsCryptedFile::crypt(path("target"), path("plain"), &e); }),
        int(KFsErrorCode::NoSpace));
    EXPECT_EQ(codeWithin([&](KFsError& e) {
        return KFsCryptedFile::decrypt(path("crypted"), path("target"), nullptr, &e);
    }),
        int(KFsErrorCode::NoSpace));
    EXPECT_EQ(runWithFileSizeLimit(100000,
                  [&] {
                      KFsError e;
                      return CFileSystem::addCheckSum(qpath("plain"), &e) ? 100 : int(e.code);
                  }),
        int(KFsErrorCode::NoSpace));
    EXPECT_EQ(readFile(path("plain")), noiseContent(100000));
}

TEST_F(Reasons, ChecksumCallsTellMissingReadOnlyAndMismatchedFiles)
{
    KFsError e;
    EXPECT_FALSE(CFileSystem::addCheckSum(qpath("missing"), &e));
    EXPECT_EQ(e.code, KFsErrorCode::NotFound);
    EXPECT_EQ(e.path, qpath("missing"));
    EXPECT_FALSE(CFileSystem::verifyCheckSum(qpath("missing"), &e));
    EXPECT_EQ(e.code, KFsErrorCode::NotFound);

    writeFile(path("f"), "body bytes");
    setPermissions(path("f"), 0444);
    EXPECT_FALSE(CFileSystem::addCheckSum(qpath("f"), &e));
    EXPECT_EQ(e.code, KFsErrorCode::PermissionDenied);
    setPermissions(path("f"), 0644);
    EXPECT_FALSE(CFileSystem::removeCheckSum(qpath("f"), &e));
    EXPECT_EQ(e.code, KFsErrorCode::ChecksumMismatch);
    EXPECT_TRUE(CFileSystem::addCheckSum(qpath("f"), &e));
    EXPECT_TRUE(e.ok());
    EXPECT_TRUE(CFileSystem::verifyCheckSum(qpath("f")));
}
