// Paths and files that try to make crypt, decrypt and the working copies
// hang, write in the wrong place or lose data: over-long and non-UTF-8
// names, symbolic links, one file under two names, sources that change while
// they are read, links planted in place of a working copy.
#include "CFileSystem.h"
#include "KFsCryptedFile.h"
#include "platform_p.h"
#include "inputfile_p.h"
#include "transforms_p.h"
#include "testutil.h"

#include <QFile>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include <fcntl.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#ifndef NAME_MAX
#define NAME_MAX 255 // Windows: UTF-16 units in a name
#endif

using namespace korvtest;

namespace {

#ifndef _WIN32
bool isSymlink(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Whether this system grants read leases on our files at all (not where
// leases are switched off or the file system has none).
bool leasesAvailable(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY);
    const bool ok = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// Opens path for writing without waiting: false while a lease holds it.
bool openableForWriting(const std::string& path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
}

#endif

} // namespace

class Hostile : public TempDirTest { };

TEST_F(Hostile, PathsLongerThanTheSystemAllowsFailWithoutCreatingAnything)
{
    KORV_SKIP_ON_WINDOWS("a path length limit (the library reaches 32767 with \\\\?\\)");
    writeFile(path("plain"), "data");
    ASSERT_TRUE(KFsCryptedFile::crypt(path("crypted"), path("plain")));
    std::string deep = root();
    while (deep.size() <= PATH_MAX)
        deep += "/" + std::string(60, 'd');
    for (const char* source : { "plain", "crypted" }) {
        EXPECT_FALSE(KFsCryptedFile::decrypt(path(source), deep + "/target")) << source;
        EXPECT_FALSE(KFsCryptedFile::decrypt(deep + "/source", path("target"))) << source;
    }
    EXPECT_FALSE(KFsCryptedFile::crypt(deep + "/target", path("plain")));
    EXPECT_FALSE(KFsCryptedFile::crypt(path("target"), deep + "/source"));
    EXPECT_EQ(listDirectory(root()), (std::vector<std::string> { "crypted", "plain" }));
}

// The format stores a 32-bit length: a larger source (sparse here, so it
// costs no disk) is refused before a byte of it is read.
TEST_F(Hostile, SourcesTooLargeForTheFormatAreRefusedAtOnce)
{
    writeFile(path("huge"), "");
    ASSERT_TRUE(QFile::resize(QString::fromStdString(path("huge")), (qint64(1) << 32) + 1));
    writeFile(path("target"), "old");
    EXPECT_FALSE(KFsCryptedFile::crypt(path("target"), path("huge")));
    EXPECT_FALSE(KFsCryptedFile::crypt(path("new"), path("huge")));
    EXPECT_EQ(readFile(path("target")), "old");
    EXPECT_EQ(listDirectory(root()), (std::vector<std::string> { "huge", "target" }));
}

TEST_F(Hostile, TheLongestLegalNamesWorkAndLongerOnesFail)
{
    const std::string plain = textContent(3000);
    writeFile(path("plain"), plain);
    const std::string longest = std::string(NAME_MAX, 'n');
    for (const std::string& name : { longest, std::string(NAME_MAX - 10, 'm') }) {
        ASSERT_TRUE(KFsCryptedFile::crypt(path(name), path("plain"))) << name.size();
        EXPECT_EQ(readFile(path(name)), qtCrypted(plain));
        ASSERT_TRUE(KFsCryptedFile::decrypt(path(name), path(name))) << name.size();
        EXPECT_EQ(readFile(path(name)), plain);
        ASSERT_TRUE(KFsCryptedFile::crypt(path(name), path(name))) << name.size();
        ASSERT_TRUE(KFsCryptedFile::decrypt(path("plain"), path(name))) << name.size();
        EXPECT_EQ(readFile(path(name)), plain);
        deleteFile(path(name));
    }
    EXPECT_FALSE(KFsCryptedFile::crypt(path(longest + "x"), path("plain")));
    EXPECT_EQ(listDirectory(root()), std::vector<std::string> { "plain" });
}

TEST_F(Hostile, NamesThatAreNotUtf8AreUsedByteForByte)
{
    const std::string plain = textContent(2000);
    const std::string dir = path("d\xff\xfe");
    const std::string name = "f\xe9";
    writeFile(path(name), plain);
    ASSERT_TRUE(KFsCryptedFile::crypt(dir + "/sub\x80/" + name, path(name)));
    EXPECT_EQ(readFile(dir + "/sub\x80/" + name), qtCrypted(plain));
    ASSERT_TRUE(KFsCryptedFile::decrypt(dir + "/sub\x80/" + name, dir + "/new\xc3/out"));
    EXPECT_EQ(readFile(dir + "/new\xc3/out"), plain);
    ASSERT_TRUE(KFsCryptedFile::decrypt(path(name), dir + "/copy\xff"));
    EXPECT_EQ(readFile(dir + "/copy\xff"), plain);
    ASSERT_TRUE(KFsCryptedFile::decrypt(dir + "/sub\x80/" + name, dir + "/sub\x80/" + name));
    EXPECT_EQ(readFile(dir + "/sub\x80/" + name), plain);
    // Nothing was made under another spelling of those names.
    EXPECT_EQ(listDirectory(root()), (std::vector<std::string> { "d\xff\xfe", name }));
    EXPECT_EQ(listDirectory(dir), (std::vector<std::string> { "copy\xff", "new\xc3", "sub\x80" }));
}

TEST_F(Hostile, SymlinkTargets)
{
    KORV_SKIP_ON_WINDOWS("symlinks");
#ifndef _WIN32
    writeFile(path("plain"), "new content");
    ASSERT_TRUE(KFsCryptedFile::crypt(path("crypted"), path("plain")));
    ::mkdir(path("dir").c_str(), 0755);
    writeFile(path("dir/inside"), "kept");
    ASSERT_EQ(::symlink("dir", path("to-dir").c_str()), 0);
    ASSERT_EQ(::symlink("loop-b", path("loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", path("loop-b").c_str()), 0);
    ASSERT_EQ(::symlink("missing-dir/x", path("into-nothing").c_str()), 0);

    // A link to a directory, a loop, or a link into a missing directory: no
    // file can be written there; the links stay as they were.
    for (const char* target : { "to-dir", "loop-a", "into-nothing" }) {
        EXPECT_FALSE(KFsCryptedFile::crypt(path(target), path("plain"))) << target;
        EXPECT_FALSE(KFsCryptedFile::decrypt(path("crypted"), path(target))) << target;
        EXPECT_FALSE(KFsCryptedFile::decrypt(path("plain"), path(target))) << target;
        EXPECT_TRUE(isSymlink(path(target))) << target;
    }
    EXPECT_EQ(listDirectory(path("dir")), std::vector<std::string> { "inside" });

    // A dangling link is written through, like any open for writing: the file
    // it names is created and the link stays a link.
    for (const char* source : { "plain", "crypted" }) {
        ::unlink(path("named").c_str());
        ::unlink(path("dangling").c_str());
        ASSERT_EQ(::symlink("named", path("dangling").c_str()), 0);
        ASSERT_TRUE(KFsCryptedFile::decrypt(path(source), path("dangling"))) << source;
        EXPECT_EQ(readFile(path("named")), "new content") << source;
        EXPECT_TRUE(isSymlink(path("dangling"))) << source;
    }
    EXPECT_EQ(listDirectory(root()),
        (std::vector<std::string> {
            "crypted", "dangling", "dir", "into-nothing", "loop-a", "loop-b", "named", "plain", "to-dir" }));
#endif
}

TEST_F(Hostile, OneFileUnderTwoNames)
{
    KORV_SKIP_ON_WINDOWS("symlinks");
#ifndef _WIN32
    const std::string plain = textContent(50000);
    const std::string crypted = qtCrypted(plain);
    ::mkdir(path("d").c_str(), 0755);
    for (const char* source : { "file", "sym", "d/../file", "./file" }) {
        for (const char* target : { "file", "sym", "d/../file", "./file" }) {
            writeFile(path("file"), plain);
            ::unlink(path("sym").c_str());
            ASSERT_EQ(::symlink("file", path("sym").c_str()), 0);
            // In place under another spelling: crypt, then decrypt both ways.
            ASSERT_TRUE(KFsCryptedFile::crypt(path(target), path(source))) << source << " " << target;
            EXPECT_EQ(readFile(path("file")), crypted) << source << " " << target;
            bool wasCrypted = false;
            ASSERT_TRUE(KFsCryptedFile::decrypt(path(source), path(target), &wasCrypted));
            EXPECT_TRUE(wasCrypted);
            EXPECT_EQ(readFile(path("file")), plain) << source << " " << target;
            ASSERT_TRUE(KFsCryptedFile::decrypt(path(source), path(target), &wasCrypted));
            EXPECT_FALSE(wasCrypted);
            EXPECT_EQ(readFile(path("file")), plain) << source << " " << target;
            EXPECT_TRUE(isSymlink(path("sym")));
        }
    }
    // A hard link is a second name of the same file: writing the target
    // writes the file itself, so this is in place under another name.
    writeFile(path("file"), crypted);
    ASSERT_EQ(::link(path("file").c_str(), path("hard").c_str()), 0);
    ASSERT_TRUE(KFsCryptedFile::decrypt(path("file"), path("hard")));
    EXPECT_EQ(readFile(path("hard")), plain);
    EXPECT_EQ(readFile(path("file")), plain);
    ASSERT_TRUE(KFsCryptedFile::crypt(path("file"), path("hard")));
    EXPECT_EQ(readFile(path("file")), crypted);
    EXPECT_EQ(readFile(path("hard")), crypted);
    EXPECT_EQ(listDirectory(root()), (std::vector<std::string> { "d", "file", "hard", "sym" }));
#endif
}

// The plain branch copies the very file whose first bytes it examined: a
// source removed or replaced by a crypted file meanwhile changes nothing.
TEST_F(Hostile, PlainCopyIsMadeFromTheFileThatWasExamined)
{
    const std::string plain = textContent(10000);
    writeFile(path("src"), plain);
    korv::platform::InputFile in;
    ASSERT_TRUE(in.open(path("src")));
    char marker[2];
    ASSERT_EQ(in.peek(marker, 2), 2u);
    ASSERT_EQ(::unlink(path("src").c_str()), 0);
    ASSERT_TRUE(korv::platform::copyFile(in, path("copy")));
    EXPECT_EQ(readFile(path("copy")), plain);

    writeFile(path("src"), qtCrypted(plain));
    korv::platform::clearLastError();
    const bool copied = korv::platform::copyFile(in, path("copy"));
#ifdef _WIN32
    // Where a deleted file keeps its name while open (Windows without POSIX
    // delete semantics, Wine) the write above reached the examined file
    // itself: the copy is then refused, never made of mixed content.
    if (!copied) {
        EXPECT_EQ(korv::platform::lastError(), korv::platform::kFileChanged);
        EXPECT_EQ(readFile(path("copy")), plain);
        return;
    }
#endif
    ASSERT_TRUE(copied);
    EXPECT_EQ(readFile(path("copy")), plain);
}

TEST_F(Hostile, SourcesSwappedDuringTheCallGiveOneWholeResult)
{
    const std::string plain = textContent(20000, 1);
    const std::string other = textContent(20000, 2);
    writeFile(path("plain"), plain);
    writeFile(path("crypted"), qtCrypted(other));
    writeFile(path("src"), plain);
    std::atomic<bool> stop { false };
    std::thread swapper([&] {
        for (unsigned i = 0; !stop; ++i) {
            makeHardLink(path(i % 2 ? "plain" : "crypted"), path("next"));
            renameOver(path("next"), path("src"));
        }
    });
    unsigned plainSeen = 0, cryptedSeen = 0;
    for (int i = 0; i < 1000; ++i) {
        writeFile(path("out"), "old");
        bool wasCrypted = false;
        if (!KFsCryptedFile::decrypt(path("src"), path("out"), &wasCrypted)) {
            EXPECT_EQ(readFile(path("out")), "old");
            continue;
        }
        // Compared whole but reported short: the contents are long.
        const bool whole = readFile(path("out")) == (wasCrypted ? other : plain);
        ASSERT_TRUE(whole) << "round " << i << ": the result does not match the flag " << wasCrypted;
        ++(wasCrypted ? cryptedSeen : plainSeen);
    }
    stop = true;
    swapper.join();
    EXPECT_GT(plainSeen, 0u);
    EXPECT_GT(cryptedSeen, 0u);
}

// A source cut short by someone else while it is read must not crash the
// caller (a mapped file would raise SIGBUS past its new end), and one cut
// short before it is read is refused rather than read short.
TEST_F(Hostile, SourceTruncatedWhileHeldIsNotFatal)
{
    KORV_SKIP_ON_WINDOWS("a forked child");
#ifndef _WIN32
    writeFile(path("src"), noiseContent(1 << 20));
    {
        korv::platform::InputFile in;
        ASSERT_TRUE(in.open(path("src")));
        ASSERT_EQ(::truncate(path("src").c_str(), 100), 0);
        EXPECT_FALSE(in.load());
    }
    {
        // Read in pieces (as crypt does): nothing more once it is shorter.
        writeFile(path("src"), noiseContent(1 << 20));
        korv::platform::InputFile in;
        ASSERT_TRUE(in.open(path("src")));
        korv::platform::FileReader reader(in);
        std::size_t n = 0;
        reader.next(1000, n);
        EXPECT_EQ(n, 1000u);
        ASSERT_EQ(::truncate(path("src").c_str(), 1500), 0);
        reader.next(1000, n);
        EXPECT_EQ(n, 0u);
    }
    writeFile(path("src"), noiseContent(1 << 20));
    // The child ends with 1 only if it read every byte and lived.
    const int status = runWithFileSizeLimit(RLIM_INFINITY, [&] {
        korv::platform::InputFile in;
        if (!in.open(path("src")) || !in.load() || ::truncate(path("src").c_str(), 0) != 0)
            return 0;
        unsigned sum = 0;
        for (std::uint64_t i = 0; i < in.size(); ++i)
            sum += in.data()[i];
        return sum == 0 ? 2 : 1;
    });
    EXPECT_EQ(status, 1);
#endif
}

// A large source is mapped rather than copied while it is decoded, under a
// read lease: whoever would truncate or rewrite it waits until it is given
// back, so the mapping never shrinks under the decoder.
TEST_F(Hostile, ALeasedSourceStaysWholeUntilGivenBack)
{
    KORV_SKIP_ON_WINDOWS("read leases");
#ifndef _WIN32
    const std::string bytes = noiseContent(2 << 20);
    writeFile(path("src"), bytes);
    if (!leasesAvailable(path("src")))
        GTEST_SKIP() << "no read leases here";
    korv::platform::InputFile in;
    ASSERT_TRUE(in.open(path("src")));
    ASSERT_TRUE(in.mapLeased(korv::platform::leaseBreakSeconds()));
    EXPECT_FALSE(openableForWriting(path("src")));
    std::atomic<bool> cut { false };
    std::thread cutter([&] {
        ::truncate(path("src").c_str(), 0);
        cut = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(cut) << "the file was cut short under its mapping";
    EXPECT_EQ(std::memcmp(bytes.data(), in.data(), bytes.size()), 0);
    in.close();
    cutter.join();
    EXPECT_EQ(readFile(path("src")), "");

    // Small files are read; so is a file someone holds open for writing.
    writeFile(path("src"), bytes);
    writeFile(path("small"), "small");
    korv::platform::InputFile small, held;
    ASSERT_TRUE(small.open(path("small")));
    EXPECT_FALSE(small.mapLeased(korv::platform::leaseBreakSeconds()));
    const int writer = ::open(path("src").c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    ASSERT_TRUE(held.open(path("src")));
    EXPECT_FALSE(held.mapLeased(korv::platform::leaseBreakSeconds()));
    ASSERT_TRUE(held.load());
    EXPECT_EQ(std::memcmp(bytes.data(), held.data(), bytes.size()), 0);
    ::close(writer);
#endif
}

class HostileWorkingCopies : public WorkingCopyTest { };

// Working copies go where TMPDIR says, byte for byte, and a file named by
// bytes that are not UTF-8 opens through a handle and a stream.
TEST_F(HostileWorkingCopies, TemporaryDirectoriesAndFilesWhoseNamesAreNotUtf8)
{
    const std::string tmpDir = tmp() + "/t\xff";
    ASSERT_TRUE(makeDirectory(tmpDir));
    setTempDirectory(tmpDir);
    const std::string file = path("f\xe9.kr");
    writeFile(file, qtCrypted("content"));
    {
        KFsCryptedFile handle(file, KFsWrite);
        const std::string copy = handle.getDecryptedFilePath();
        EXPECT_EQ(copy.rfind(tmpDir + "/kr2", 0), 0u) << copy;
        EXPECT_EQ(readFile(copy), "content");
        writeFile(copy, "changed");
    }
    EXPECT_EQ(readFile(file), qtCrypted("changed"));
    CFileSystem stream;
    ASSERT_EQ(stream.open(file.c_str(), "rb"), 0);
    char buffer[16] = {};
    EXPECT_EQ(stream.read(buffer, 1, sizeof buffer), 7u);
    EXPECT_EQ(std::string(buffer), "changed");
    EXPECT_EQ(stream.close(), 0);
    EXPECT_TRUE(listDirectory(tmpDir).empty());
}

// A working copy is written only in place, never through a link that has
// taken its name: what the link points to stays as it was.
TEST_F(HostileWorkingCopies, ALinkInPlaceOfAWorkingCopyIsNotWrittenThrough)
{
    KORV_SKIP_ON_WINDOWS("symlinks");
#ifndef _WIN32
    writeFile(path("victim"), "victim");
    writeFile(path("data.kr"), qtCrypted("secret"));
    writeFile(path("plain"), "plain secret");
    const std::string planted = tmp() + "/kr2planted";
    ASSERT_EQ(::symlink(path("victim").c_str(), planted.c_str()), 0);
    for (const char* source : { "data.kr", "plain" })
        EXPECT_FALSE(korv::decryptFile(path(source), planted, nullptr, korv::platform::WriteMode::WorkingCopy));
    EXPECT_EQ(readFile(path("victim")), "victim");
#endif
}

// What is not a regular file gets no working copy, no stream and no trailer,
// at once and without writing anything.
TEST_F(HostileWorkingCopies, FilesThatAreNotRegularAreRefusedByHandlesStreamsAndChecksums)
{
    KORV_SKIP_ON_WINDOWS("FIFOs and device nodes");
#ifndef _WIN32
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(path("dir").c_str(), 0755), 0);
    for (const std::string& file :
        { path("dir"), path("fifo"), std::string("/dev/zero"), std::string("/dev/urandom") }) {
        for (KFsOpenMode mode : { KFsRead, KFsWrite }) {
            KFsCryptedFile handle(file, mode);
            EXPECT_EQ(handle.getDecryptedFilePath(), "") << file;
        }
        CFileSystem stream;
        for (const char* mode : { "rb", "r+", "wb", "ab" })
            EXPECT_EQ(stream.open(file.c_str(), mode), 1) << file << " " << mode;
        CFileSystem::addCheckSum(QString::fromStdString(file));
        EXPECT_FALSE(CFileSystem::removeCheckSum(QString::fromStdString(file))) << file;
    }
    EXPECT_TRUE(workingCopies().empty());
    EXPECT_EQ(listDirectory(root()), (std::vector<std::string> { "dir", "fifo", "tmp" }));
    EXPECT_TRUE(listDirectory(path("dir")).empty());
#endif
}
