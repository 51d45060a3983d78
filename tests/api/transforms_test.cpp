// crypt and decrypt on real files: round trips, plain files, in place,
// read-only targets, corrupt sources and files that must stay untouched.
#include "KFsCryptedFile.h"
#include "transforms_p.h"
#include "testutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvtest;

namespace {
#ifdef O_NONBLOCK
// Opening for writing does not wait for a lease to be given back.
constexpr int kNoWait = O_NONBLOCK;
#else
constexpr int kNoWait = 0;
#endif
} // namespace

class Transforms : public TempDirTest { };

TEST_F(Transforms, CryptThenDecryptIntoNewDirectoriesRoundTrips)
{
    const std::string plain = textContent(300000);
    writeFile(path("plain.txt"), plain);
    ASSERT_TRUE(KFsCryptedFile::crypt(path("c/d/data.kr"), path("plain.txt")));
    EXPECT_EQ(readFile(path("c/d/data.kr")), qtCrypted(plain));

    bool crypted = false;
    ASSERT_TRUE(KFsCryptedFile::decrypt(path("c/d/data.kr"), path("x/y/z/out.txt"), &crypted));
    EXPECT_TRUE(crypted);
    EXPECT_EQ(readFile(path("x/y/z/out.txt")), plain);

    // Files larger than the pieces they are read in.
    const std::string large = noiseContent((5u << 20) / 2);
    writeFile(path("large"), large);
    ASSERT_TRUE(KFsCryptedFile::crypt(path("large.kr"), path("large")));
    EXPECT_TRUE(readFile(path("large.kr")) == qtCrypted(large));
}

TEST_F(Transforms, EmptyFileCryptsToSixBytesAndBack)
{
    writeFile(path("empty"), "");
    ASSERT_TRUE(KFsCryptedFile::crypt(path("empty.kr"), path("empty")));
    EXPECT_EQ(toHex(readFile(path("empty.kr"))), "6b7200000000");
    writeFile(path("out"), "old content");
    ASSERT_TRUE(KFsCryptedFile::decrypt(path("empty.kr"), path("out")));
    EXPECT_TRUE(fileExists(path("out")));
    EXPECT_EQ(readFile(path("out")), "");
}

TEST_F(Transforms, InPlaceCryptAndDecrypt)
{
    const std::string plain = noiseContent(100000);
    writeFile(path("f"), plain);
    ASSERT_TRUE(KFsCryptedFile::crypt(path("f"), path("f")));
    EXPECT_EQ(readFile(path("f")), qtCrypted(plain));
    bool crypted = false;
    ASSERT_TRUE(KFsCryptedFile::decrypt(path("f"), path("f"), &crypted));
    EXPECT_TRUE(crypted);
    EXPECT_EQ(readFile(path("f")), plain);
}

TEST_F(Transforms, CryptingTwiceNeedsTwoDecrypts)
{
    writeFile(path("f"), "layered");
    ASSERT_TRUE(KFsCryptedFile::crypt(path("once"), path("f")));
    ASSERT_TRUE(KFsCryptedFile::crypt(path("twice"), path("once")));
    bool crypted = false;
    ASSERT_TRUE(KFsCryptedFile::decrypt(path("twice"), path("back"), &crypted));
    EXPECT_TRUE(crypted);
    EXPECT_EQ(readFile(path("back")), readFile(path("once")));
}

TEST_F(Transforms, PlainSourcesAreCopied)
{
    for (const std::string& plain :
        { std::string(), std::string("k"), std::string("K-r plain"), noiseContent(70000) }) {
        writeFile(path("plain"), plain);
        bool crypted = true;
        ASSERT_TRUE(KFsCryptedFile::decrypt(path("plain"), path("new/dir/copy"), &crypted));
        EXPECT_FALSE(crypted);
        EXPECT_EQ(readFile(path("new/dir/copy")), plain);
    }
}

TEST_F(Transforms, PlainInPlaceStaysUnchangedAndBecomesWritable)
{
    KORV_SKIP_ON_WINDOWS("symlinks");
    const std::string plain = textContent(5000);
    writeFile(path("p"), plain);
    setPermissions(path("p"), 0444);
    ASSERT_TRUE(makeSymlink(path("p"), path("link")));
    ASSERT_TRUE(KFsCryptedFile::decrypt(path("p"), path("p")));
    ASSERT_TRUE(KFsCryptedFile::decrypt(path("link"), root() + "/./p"));
    EXPECT_EQ(readFile(path("p")), plain);
    EXPECT_EQ(permissions(path("p")), 0644u);
}

TEST_F(Transforms, ReadOnlyTargetsAreReplacedAndLeftWritable)
{
    writeFile(path("plain"), "plain bytes");
    ASSERT_TRUE(KFsCryptedFile::crypt(path("crypted"), path("plain")));
    for (const char* source : { "plain", "crypted" }) {
        writeFile(path("target"), "old");
        setPermissions(path("target"), 0440);
        ASSERT_TRUE(KFsCryptedFile::decrypt(path(source), path("target"))) << source;
        EXPECT_EQ(readFile(path("target")), "plain bytes") << source;
        EXPECT_EQ(permissions(path("target")) & 0200, 0200u) << source;
    }
    writeFile(path("target"), "old");
    setPermissions(path("target"), 0440);
    ASSERT_TRUE(KFsCryptedFile::crypt(path("target"), path("plain")));
    EXPECT_EQ(readFile(path("target")), qtCrypted("plain bytes"));
    EXPECT_EQ(permissions(path("target")), shownMode(0640));
}

TEST_F(Transforms, ReplacedTargetsKeepTheirPermissions)
{
    writeFile(path("plain"), "x");
    writeFile(path("target"), "old");
    setPermissions(path("target"), 0604);
    ASSERT_TRUE(KFsCryptedFile::crypt(path("target"), path("plain")));
    EXPECT_EQ(permissions(path("target")), shownMode(0604));
    ASSERT_TRUE(KFsCryptedFile::decrypt(path("target"), path("target")));
    EXPECT_EQ(permissions(path("target")), shownMode(0604));
}

TEST_F(Transforms, PlainCopyCarriesSourcePermissionsButStaysWritable)
{
    writeFile(path("plain"), "x");
    setPermissions(path("plain"), 0550);
    ASSERT_TRUE(KFsCryptedFile::decrypt(path("plain"), path("copy")));
    EXPECT_EQ(permissions(path("copy")), shownMode(0750));
}

TEST_F(Transforms, MissingSourceFailsAndTouchesNothing)
{
    bool crypted = true;
    EXPECT_FALSE(KFsCryptedFile::decrypt(path("missing"), path("out/target"), &crypted));
    EXPECT_TRUE(crypted);
    EXPECT_FALSE(KFsCryptedFile::crypt(path("out/target"), path("missing")));
    EXPECT_FALSE(fileExists(path("out")));
}

TEST_F(Transforms, CorruptSourcesFailAndLeaveTargetsAsTheyWere)
{
    const std::string good = qtCrypted(textContent(40000));
    const std::string corrupt[] = { "kr", std::string("kr\0\0", 4), good.substr(0, good.size() - 10),
        good.substr(0, 6) + "garbage that is not deflate" };
    for (const std::string& bytes : corrupt) {
        writeFile(path("src"), bytes);
        writeFile(path("target"), "precious");
        bool crypted = false;
        EXPECT_FALSE(KFsCryptedFile::decrypt(path("src"), path("target"), &crypted));
        EXPECT_FALSE(crypted);
        EXPECT_EQ(readFile(path("target")), "precious");
        EXPECT_FALSE(KFsCryptedFile::decrypt(path("src"), path("src")));
        EXPECT_EQ(readFile(path("src")), bytes);
    }
    EXPECT_EQ(listDirectory(root()), (std::vector<std::string> { "src", "target" }));
}

// Large sources take another path (mapped under a lease, decoded by the
// fast decoder alone, decoded again from a copy when that cannot do it):
// every stored length, a corrupt stream and a source someone holds open for
// writing must still give the exact content or fail cleanly, and the
// source is free for writers again once the call returns.
TEST_F(Transforms, LargeSourcesDecodeExactlyWhateverTheirHeader)
{
    const std::string plain = noiseContent(3 << 20);
    const std::string good = qtCrypted(plain);
    const auto length = std::uint32_t(plain.size());
    std::string corrupt = good;
    corrupt[good.size() / 2] ^= 0x55;
    const std::pair<std::string, bool> sources[]
        = { { good, true }, { withStoredLength(good, length / 2), true },
              { withStoredLength(good, length * 2), true }, { withStoredLength(good, 0), true },
              { withStoredLength(good, 0xFFFFFFFF), true }, { corrupt, false } };
    for (const auto& [bytes, decodes] : sources) {
        writeFile(path("src"), bytes);
        writeFile(path("target"), "old");
        EXPECT_EQ(KFsCryptedFile::decrypt(path("src"), path("target")), decodes);
        EXPECT_TRUE(readFile(path("target")) == (decodes ? plain : "old"));
        int writer = ::open(path("src").c_str(), O_WRONLY | kNoWait);
        EXPECT_GE(writer, 0) << "the source is still leased";
        // Held open for writing meanwhile: read, not mapped, same result.
        writeFile(path("target"), "old");
        EXPECT_EQ(KFsCryptedFile::decrypt(path("src"), path("target")), decodes);
        EXPECT_TRUE(readFile(path("target")) == (decodes ? plain : "old"));
        if (writer >= 0)
            ::close(writer);
    }
}

TEST_F(Transforms, TargetsThatCannotBeWrittenFail)
{
    writeFile(path("plain"), "data");
    writeFile(path("file"), "a regular file");
    ASSERT_TRUE(KFsCryptedFile::crypt(path("crypted"), path("plain")));
    makeDirectory(path("dir"));
    for (const char* target : { "file/under", "dir" }) {
        EXPECT_FALSE(KFsCryptedFile::decrypt(path("plain"), path(target))) << target;
        EXPECT_FALSE(KFsCryptedFile::decrypt(path("crypted"), path(target))) << target;
        EXPECT_FALSE(KFsCryptedFile::crypt(path(target), path("plain"))) << target;
    }
    EXPECT_EQ(readFile(path("file")), "a regular file");
}

TEST_F(Transforms, SourcesThatAreNotRegularFilesFailAtOnce)
{
    KORV_SKIP_ON_WINDOWS("FIFOs and device nodes");
#ifndef _WIN32
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    for (const std::string& source :
        { root(), path("fifo"), std::string("/dev/zero"), std::string("/dev/urandom") }) {
        EXPECT_FALSE(KFsCryptedFile::decrypt(source, path("out"))) << source;
        EXPECT_FALSE(KFsCryptedFile::crypt(path("out"), source)) << source;
    }
    EXPECT_FALSE(fileExists(path("out")));
#endif
}

TEST_F(Transforms, NamesWithSpacesAndUtf8Work)
{
    const std::string dir = path("dossier été/sub dir");
    writeFile(path("søurce ü.txt"), "ümlaut");
    ASSERT_TRUE(KFsCryptedFile::crypt(dir + "/crypté.kr", path("søurce ü.txt")));
    ASSERT_TRUE(KFsCryptedFile::decrypt(dir + "/crypté.kr", dir + "/plain é.txt"));
    EXPECT_EQ(readFile(dir + "/plain é.txt"), "ümlaut");
}

TEST_F(Transforms, TargetBehindASymlinkIsWrittenThroughTheLink)
{
    KORV_SKIP_ON_WINDOWS("symlinks");
#ifndef _WIN32
    writeFile(path("plain"), "through");
    writeFile(path("real"), "old");
    ASSERT_EQ(::symlink("real", path("link").c_str()), 0);
    ASSERT_TRUE(KFsCryptedFile::crypt(path("link"), path("plain")));
    EXPECT_EQ(readFile(path("real")), qtCrypted("through"));
    struct stat st;
    ASSERT_EQ(::lstat(path("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
#endif
}

TEST_F(Transforms, DirectWritesGoIntoTheFileItselfAndKeepItsMode)
{
    const std::string plain = textContent(20000);
    writeFile(path("src.kr"), qtCrypted(plain));
    writeFile(path("plain"), "plain bytes");
    writeFile(path("copy"), "");
    setPermissions(path("copy"), 0600);
    struct stat before;
    ASSERT_EQ(::stat(path("copy").c_str(), &before), 0);

    for (const char* source : { "plain", "src.kr" }) {
        ASSERT_TRUE(
            korv::decryptFile(path(source), path("copy"), nullptr, korv::platform::WriteMode::WorkingCopy));
        struct stat after;
        ASSERT_EQ(::stat(path("copy").c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(permissions(path("copy")), shownMode(0600));
    }
    EXPECT_EQ(readFile(path("copy")), plain);

    // A failed decode leaves no partial plain content behind.
    writeFile(path("bad.kr"), qtCrypted(plain).substr(0, 300));
    EXPECT_FALSE(korv::decryptFile(path("bad.kr"), path("copy"), nullptr, korv::platform::WriteMode::WorkingCopy));
    EXPECT_EQ(readFile(path("copy")), "");
    EXPECT_EQ(listDirectory(root()), (std::vector<std::string> { "bad.kr", "copy", "plain", "src.kr" }));
}

// A small tmpfs fills up for real; skipped where mounting is not allowed.
class FullDisk : public TempDirTest {
protected:
    void SetUp() override
    {
        KORV_SKIP_ON_WINDOWS("a tmpfs mount");
        _mount = path("small");
        makeDirectory(_mount);
        if (::system(("mount -t tmpfs -o size=1m tmpfs '" + _mount + "' 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here";
        _mounted = true;
    }
    void TearDown() override
    {
        if (_mounted) {
            EXPECT_EQ(::system(("umount '" + _mount + "'").c_str()), 0);
        }
    }
    std::string _mount;
    bool _mounted = false;
};

TEST_F(FullDisk, WritesThatRunOutOfRoomFailAndKeepTheOldFile)
{
    const std::string plain = noiseContent(3 << 20);
    writeFile(path("big.kr"), qtCrypted(plain));
    writeFile(path("big"), plain);
    writeFile(_mount + "/target", "old");

    EXPECT_FALSE(KFsCryptedFile::decrypt(path("big.kr"), _mount + "/target"));
    EXPECT_FALSE(KFsCryptedFile::decrypt(path("big"), _mount + "/target"));
    EXPECT_FALSE(KFsCryptedFile::crypt(_mount + "/target", path("big")));
    EXPECT_EQ(readFile(_mount + "/target"), "old");
    EXPECT_EQ(listDirectory(_mount), std::vector<std::string> { "target" });
}
