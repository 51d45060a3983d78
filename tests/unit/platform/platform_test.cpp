// The Linux platform layer: permission bits, the file copy, working copies,
// removal and the checked append.
#include "platform_p.h"
#include "inputfile_p.h"
#include "outputfile_p.h"
#include "posix_p.h"
#include "testhooks_p.h"
#include "testutil.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace korv;
using namespace korvtest;

class Platform : public TempDirTest { };

TEST_F(Platform, ReadOnlyIsTheOwnerWriteBit)
{
    writeFile(path("f"), "x");
    setPermissions(path("f"), 0466);
    EXPECT_TRUE(platform::isReadOnly(path("f")));
    EXPECT_TRUE(platform::clearReadOnly(path("f")));
    EXPECT_FALSE(platform::isReadOnly(path("f")));
    EXPECT_EQ(permissions(path("f")), 0666u);
    EXPECT_FALSE(platform::clearReadOnly(path("missing")));
}

// A new target takes the source's permissions; a replaced one keeps its own.
TEST_F(Platform, CopyReplacesTargetAndCarriesPermissions)
{
    const std::string bytes = noiseContent(300000);
    writeFile(path("src"), bytes);
    setPermissions(path("src"), 0751);
    writeFile(path("dst"), "old, longer than nothing");
    setPermissions(path("dst"), 0640);
    ASSERT_TRUE(platform::copyFile(path("src"), path("dst")));
    EXPECT_EQ(readFile(path("dst")), bytes);
    EXPECT_EQ(permissions(path("dst")), 0640u);
    ASSERT_TRUE(platform::copyFile(path("src"), path("new")));
    EXPECT_EQ(permissions(path("new")), 0751u);
    EXPECT_EQ(listDirectory(root()), (std::vector<std::string> { "dst", "new", "src" }));
}

TEST_F(Platform, CopyRefusesReadOnlyTargetsAndMissingDirectories)
{
    writeFile(path("src"), "new");
    writeFile(path("dst"), "old");
    setPermissions(path("dst"), 0444);
    EXPECT_FALSE(platform::copyFile(path("src"), path("dst")));
    EXPECT_EQ(readFile(path("dst")), "old");
    EXPECT_FALSE(platform::copyFile(path("src"), path("no/such/dir")));
    EXPECT_FALSE(platform::copyFile(path("missing"), path("other")));
    EXPECT_FALSE(fileExists(path("other")));
}

TEST_F(Platform, CopyOntoTheSameFileNeverDamagesIt)
{
    const std::string bytes = textContent(100000);
    writeFile(path("f"), bytes);
    ASSERT_EQ(::symlink("f", path("sym").c_str()), 0);
    ASSERT_EQ(::link(path("f").c_str(), path("hard").c_str()), 0);
    for (const std::string& other :
        { path("f"), path("sym"), path("hard"), root() + "/./f", root() + "//f" }) {
        EXPECT_TRUE(platform::copyFile(path("f"), other)) << other;
        EXPECT_TRUE(platform::copyFile(other, path("f"))) << other;
        EXPECT_EQ(readFile(path("f")), bytes) << other;
    }
}

class PlatformTemp : public WorkingCopyTest { };

TEST_F(PlatformTemp, WorkingCopiesAreNewPrivateAndUnpredictable)
{
    EXPECT_EQ(platform::tempDirectory(), tmp());
    const mode_t oldMask = ::umask(0);
    std::vector<std::string> names;
    for (int i = 0; i < 50; ++i) {
        platform::OutputFile copy;
        EXPECT_TRUE(copy.createWorkingCopy());
        names.push_back(copy.path());
    }
    ::umask(oldMask);
    for (const std::string& name : names) {
        EXPECT_EQ(name.rfind(tmp() + "/kr2", 0), 0u) << name;
        EXPECT_EQ(permissions(name), 0600u) << name;
        EXPECT_EQ(readFile(name), "");
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
    EXPECT_EQ(workingCopies(), names);

    // Qt reports a missing directory as an empty path, which is not "/".
    qputenv("TMPDIR", QByteArray::fromStdString(path("missing")));
    EXPECT_EQ(platform::tempDirectory(), "");
    platform::OutputFile copy;
    EXPECT_FALSE(copy.createWorkingCopy());
}

TEST_F(PlatformTemp, WorkingCopiesFollowTheTemporaryDirectory)
{
    platform::OutputFile first;
    ASSERT_TRUE(first.createWorkingCopy());
    ASSERT_EQ(::unlink(first.path().c_str()), 0);

    // The same TMPDIR, its directory gone: no copy, and none anywhere else.
    ASSERT_EQ(::rmdir(tmp().c_str()), 0);
    platform::OutputFile gone;
    EXPECT_FALSE(gone.createWorkingCopy());
    // Made again, and then a file in its place.
    ASSERT_EQ(::mkdir(tmp().c_str(), 0700), 0);
    platform::OutputFile again;
    ASSERT_TRUE(again.createWorkingCopy());
    EXPECT_EQ(again.path().rfind(tmp() + "/kr2", 0), 0u);
    ASSERT_EQ(::unlink(again.path().c_str()), 0);
    ASSERT_EQ(::rmdir(tmp().c_str()), 0);
    writeFile(tmp(), "");
    platform::OutputFile file;
    EXPECT_FALSE(file.createWorkingCopy());
    ASSERT_EQ(::unlink(tmp().c_str()), 0);
    ASSERT_EQ(::mkdir(tmp().c_str(), 0700), 0);

    // Another TMPDIR, reached through a link: its canonical name is used.
    ASSERT_EQ(::mkdir(path("other").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(path("other").c_str(), path("link").c_str()), 0);
    qputenv("TMPDIR", QByteArray::fromStdString(path("link")));
    platform::OutputFile moved;
    ASSERT_TRUE(moved.createWorkingCopy());
    EXPECT_EQ(moved.path().rfind(path("other") + "/kr2", 0), 0u) << moved.path();
    ASSERT_EQ(::unlink(moved.path().c_str()), 0);
    // The link turned to a new directory and the old one removed.
    ASSERT_EQ(::rmdir(path("other").c_str()), 0);
    ASSERT_EQ(::mkdir(path("newer").c_str(), 0700), 0);
    ASSERT_EQ(::unlink(path("link").c_str()), 0);
    ASSERT_EQ(::symlink(path("newer").c_str(), path("link").c_str()), 0);
    platform::OutputFile followed;
    ASSERT_TRUE(followed.createWorkingCopy());
    EXPECT_EQ(followed.path().rfind(path("newer") + "/kr2", 0), 0u) << followed.path();
    ASSERT_EQ(::unlink(followed.path().c_str()), 0);
}

TEST_F(Platform, RemoveFileTellsGoneFromRefused)
{
    writeFile(path("f"), "x");
    writeFile(path("g"), "x");
    ASSERT_EQ(::mkdir(path("dir").c_str(), 0755), 0);
    EXPECT_EQ(platform::removeFile(path("f")), platform::RemoveResult::Removed);
    EXPECT_EQ(platform::removeFile(path("f")), platform::RemoveResult::Missing);
    EXPECT_EQ(platform::removeFile(path("g/under")), platform::RemoveResult::Missing);
    EXPECT_EQ(platform::removeFile(path("dir")), platform::RemoveResult::Failed);
    platform::removeFault = [](const std::string& p) { return p.back() == 'g'; };
    EXPECT_EQ(platform::removeFile(path("g")), platform::RemoveResult::Failed);
    platform::removeFault = nullptr;
    EXPECT_TRUE(fileExists(path("g")));
}

TEST_F(Platform, AppendOnlyToTheExpectedSizeAndNeverHalfway)
{
    writeFile(path("f"), "body");
    EXPECT_FALSE(platform::appendToFile(path("f"), 3, "xy", 2));
    EXPECT_FALSE(platform::appendToFile(path("missing"), 0, "xy", 2));
    EXPECT_FALSE(fileExists(path("missing")));
    EXPECT_TRUE(platform::appendToFile(path("f"), 4, "xy", 2));
    EXPECT_EQ(readFile(path("f")), "bodyxy");
    EXPECT_EQ(
        runWithFileSizeLimit(8, [&] { return platform::appendToFile(path("f"), 6, "1234", 4) ? 1 : 0; }), 0);
    EXPECT_EQ(readFile(path("f")), "bodyxy");
}

// A trailer is added to, or cut from, only the file that was read, as it
// was read: not one written meanwhile (same size, new content) nor another
// file put in its place.
TEST_F(Platform, AppendAndTruncateOnlyAFileUnchangedSinceItWasRead)
{
    writeFile(path("f"), "body");
    platform::InputFile read;
    ASSERT_TRUE(read.open(path("f")));
    EXPECT_TRUE(platform::truncateFile(path("f"), read, 4));
    writeFile(path("other"), "body");
    ASSERT_EQ(::rename(path("other").c_str(), path("f").c_str()), 0);
    EXPECT_FALSE(platform::appendToFile(path("f"), read, "xy", 2));
    EXPECT_EQ(platform::lastError(), platform::kFileChanged);

    platform::InputFile again;
    ASSERT_TRUE(again.open(path("f")));
    // A later modification time stands for a write of the same size.
    const timespec later[2] = { { 0, UTIME_OMIT }, { 2000000000, 0 } };
    ASSERT_EQ(::utimensat(AT_FDCWD, path("f").c_str(), later, 0), 0);
    EXPECT_FALSE(platform::truncateFile(path("f"), again, 2));
    EXPECT_EQ(readFile(path("f")), "body");

    platform::InputFile current;
    ASSERT_TRUE(current.open(path("f")));
    EXPECT_TRUE(platform::appendToFile(path("f"), current, "xy", 2));
    EXPECT_EQ(readFile(path("f")), "bodyxy");
}

// A whole-file mapping takes no more than a limit on the address space
// leaves free, and only half of that.
TEST(AddressSpace, MappableBytesFollowTheLimit)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit in a limited address space";
#endif
    rlimit as {};
    ASSERT_EQ(::getrlimit(RLIMIT_AS, &as), 0);
    if (sizeof(void*) == 8 && as.rlim_cur == RLIM_INFINITY) {
        EXPECT_EQ(platform::mappableBytes(), UINT64_MAX);
    }
    constexpr std::uint64_t kLimit = 2ull << 30;
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit limit { kLimit, kLimit };
        const std::uint64_t n = ::setrlimit(RLIMIT_AS, &limit) == 0 ? platform::mappableBytes() : 0;
        ::_exit(n > kLimit / 8 && n <= kLimit / 2 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Kernels before 5.8 return 0 from syncfs after a failed writeback: a batch
// must not trust it there, and must trust it on every later one.
TEST(PlatformRelease, SyncfsIsTrustedFromLinux58On)
{
    for (const char* old : { "5.7.19", "4.19.0-26-amd64", "3.10.0", "", "x.y", "5" })
        EXPECT_FALSE(platform::posix::syncfsReportsErrors(old)) << old;
    for (const char* recent : { "5.8.0", "5.10.0-28-amd64", "6.1.0-18-686-pae", "6.12.9+bpo", "10.0" })
        EXPECT_TRUE(platform::posix::syncfsReportsErrors(recent)) << recent;
}
