// KFsCryptedFile handles: working copies in read, write and other modes,
// write-back, copies of handles, and the deferred removal of working copies.
#include "KFsCryptedFile.h"
#include "platform_p.h"
#include "testhooks_p.h"
#include "testutil.h"

#include <QDir>
#include <memory>
#include <unistd.h>

using namespace korv;
using namespace korvtest;

namespace {

// The working copy whose removal the platform seam refuses.
std::string busyPath;

bool refuseBusyPath(const std::string& path)
{
    return path == busyPath;
}

} // namespace

class Handle : public WorkingCopyTest {
protected:
    void TearDown() override
    {
        platform::removeFault = nullptr;
        WorkingCopyTest::TearDown();
    }
    // Destroys a handle that owns nothing, which runs the retry loop.
    static void destroyAnotherHandle() { KFsCryptedFile("/nonexistent/korv", KFsRead); }
};

TEST_F(Handle, ReadModeGivesAPrivatePlainCopyAndLeavesTheFileAlone)
{
    const std::string plain = textContent(50000);
    writeFile(path("data.kr"), qtCrypted(plain));
    writeFile(path("plain.txt"), "plain bytes");
    setPermissions(path("plain.txt"), 0444);
    {
        KFsCryptedFile missing(path("missing.kr"), KFsRead);
        EXPECT_EQ(missing.getDecryptedFilePath(), path("missing.kr"));
        EXPECT_TRUE(workingCopies().empty());
        KFsCryptedFile crypted(path("data.kr"), KFsRead);
        KFsCryptedFile unmarked(path("plain.txt"), KFsRead);
        const std::string copy = crypted.getDecryptedFilePath();
        EXPECT_EQ(copy.rfind(tmp() + "/kr2", 0), 0u) << copy;
        EXPECT_EQ(permissions(copy), shownMode(0600));
        EXPECT_EQ(readFile(copy), plain);
        EXPECT_TRUE(crypted.isCrypted());
        EXPECT_EQ(readFile(unmarked.getDecryptedFilePath()), "plain bytes");
        EXPECT_EQ(permissions(unmarked.getDecryptedFilePath()), shownMode(0600));
        EXPECT_FALSE(unmarked.isCrypted());
        EXPECT_EQ(workingCopies().size(), 2u);
        // Changes to a read-mode copy are never written back.
        writeFile(copy, "changed");
    }
    EXPECT_EQ(readFile(path("data.kr")), qtCrypted(plain));
    EXPECT_EQ(readFile(path("plain.txt")), "plain bytes");
    EXPECT_FALSE(fileExists(path("missing.kr")));
    EXPECT_TRUE(workingCopies().empty());
}

TEST_F(Handle, WriteModeCryptsTheCopyBackIntoTheFile)
{
    writeFile(path("plain.txt"), "old plain");
    {
        KFsCryptedFile empty(path("new/dir/empty.kr"), KFsWrite);
        KFsCryptedFile created(path("new.kr"), KFsWrite);
        KFsCryptedFile replaced(path("plain.txt"), KFsWrite);
        EXPECT_EQ(readFile(empty.getDecryptedFilePath()), "");
        EXPECT_TRUE(empty.isCrypted());
        EXPECT_EQ(readFile(replaced.getDecryptedFilePath()), "old plain");
        EXPECT_FALSE(replaced.isCrypted());
        writeFile(created.getDecryptedFilePath(), "fresh content");
        writeFile(replaced.getDecryptedFilePath(), "new plain");
        // Nothing reaches the files before destruction.
        EXPECT_FALSE(fileExists(path("new.kr")));
        EXPECT_EQ(readFile(path("plain.txt")), "old plain");
    }
    EXPECT_EQ(toHex(readFile(path("new/dir/empty.kr"))), "6b7200000000");
    EXPECT_EQ(readFile(path("new.kr")), qtCrypted("fresh content"));
    EXPECT_EQ(readFile(path("plain.txt")), qtCrypted("new plain"));
    EXPECT_TRUE(workingCopies().empty());
}

TEST_F(Handle, OtherModeValuesMakeACopyButNeverWriteBack)
{
    writeFile(path("data.kr"), qtCrypted("kept"));
    {
        KFsCryptedFile existing(path("data.kr"), static_cast<KFsOpenMode>(2));
        KFsCryptedFile missing(path("missing.kr"), static_cast<KFsOpenMode>(2));
        EXPECT_EQ(readFile(existing.getDecryptedFilePath()), "kept");
        EXPECT_NE(missing.getDecryptedFilePath(), path("missing.kr"));
        EXPECT_TRUE(fileExists(missing.getDecryptedFilePath()));
        writeFile(existing.getDecryptedFilePath(), "never written back");
        writeFile(missing.getDecryptedFilePath(), "never written back");
    }
    EXPECT_EQ(readFile(path("data.kr")), qtCrypted("kept"));
    EXPECT_FALSE(fileExists(path("missing.kr")));
    EXPECT_TRUE(workingCopies().empty());
}

TEST_F(Handle, CopiesAreRemovedEvenWhenTheFileIsGone)
{
    writeFile(path("data.kr"), qtCrypted("content"));
    {
        KFsCryptedFile handle(path("data.kr"), KFsRead);
        ASSERT_EQ(workingCopies().size(), 1u);
        ASSERT_EQ(::unlink(path("data.kr").c_str()), 0);
    }
    EXPECT_TRUE(workingCopies().empty());
}

TEST_F(Handle, FailedWriteBackKeepsTheOnlyCopyOfTheContent)
{
    writeFile(path("file"), "a regular file");
    std::string copy;
    {
        KFsCryptedFile handle(path("file/under"), KFsWrite);
        copy = handle.getDecryptedFilePath();
        ASSERT_FALSE(copy.empty());
        writeFile(copy, "precious");
    }
    EXPECT_EQ(workingCopies(), std::vector<std::string> { copy });
    EXPECT_EQ(readFile(copy), "precious");
    EXPECT_EQ(readFile(path("file")), "a regular file");
}

TEST_F(Handle, UnreadableOrCorruptFilesAreRefused)
{
    const std::string corrupt = "kr" + fromHex("0000000a") + "not a zlib stream";
    writeFile(path("corrupt.kr"), corrupt);
    ASSERT_TRUE(QDir().mkdir(QString::fromStdString(path("dir"))));
    for (KFsOpenMode mode : { KFsRead, KFsWrite }) {
        for (const std::string& file : { path("corrupt.kr"), path("dir") }) {
            {
                KFsCryptedFile handle(file, mode);
                EXPECT_EQ(handle.getDecryptedFilePath(), "") << file << " mode " << mode;
                EXPECT_TRUE(workingCopies().empty());
            }
            EXPECT_TRUE(workingCopies().empty());
        }
    }
    EXPECT_EQ(readFile(path("corrupt.kr")), corrupt);
}

TEST_F(Handle, CopiesShareTheWorkingCopyAndTheFirstDestructionFinishesIt)
{
    for (KFsOpenMode mode : { KFsRead, KFsWrite }) {
        writeFile(path("data.kr"), qtCrypted("old"));
        auto first = std::make_unique<KFsCryptedFile>(path("data.kr"), mode);
        auto second = std::make_unique<KFsCryptedFile>(*first);
        const std::string copy = first->getDecryptedFilePath();
        EXPECT_EQ(second->getDecryptedFilePath(), copy);
        writeFile(copy, "new");
        first.reset();
        const std::string expected = qtCrypted(mode == KFsWrite ? "new" : "old");
        EXPECT_EQ(readFile(path("data.kr")), expected) << "mode " << mode;
        EXPECT_TRUE(workingCopies().empty());
        second.reset();
        EXPECT_EQ(readFile(path("data.kr")), expected) << "mode " << mode;

        // The second removal found nothing and recorded nothing: a new file
        // that gets the same name is not taken for a leftover.
        writeFile(copy, "another handle's copy");
        destroyAnotherHandle();
        EXPECT_TRUE(fileExists(copy)) << "mode " << mode;
        ASSERT_EQ(::unlink(copy.c_str()), 0);
    }
}

TEST_F(Handle, AssignmentFinishesTheCopyItReplaces)
{
    writeFile(path("a.kr"), qtCrypted("a"));
    writeFile(path("b.kr"), qtCrypted("b"));
    KFsCryptedFile target(path("a.kr"), KFsWrite);
    writeFile(target.getDecryptedFilePath(), "a changed");
    {
        KFsCryptedFile source(path("b.kr"), KFsRead);
        target = source;
        EXPECT_EQ(readFile(path("a.kr")), qtCrypted("a changed"));
        EXPECT_EQ(target.getDecryptedFilePath(), source.getDecryptedFilePath());
        EXPECT_EQ(workingCopies().size(), 1u);
        KFsCryptedFile& same = target;
        target = same;
        EXPECT_EQ(readFile(target.getDecryptedFilePath()), "b");
    }
    EXPECT_TRUE(workingCopies().empty());
}

TEST_F(Handle, RefusedRemovalsAreRetriedAndTheirEntriesCleared)
{
    writeFile(path("data.kr"), qtCrypted("content"));
    platform::removeFault = refuseBusyPath;
    std::string copies[2];
    for (std::string& copy : copies) {
        KFsCryptedFile handle(path("data.kr"), KFsRead);
        copy = busyPath = handle.getDecryptedFilePath();
    }
    // The second destruction retried the first copy, no longer refused.
    ASSERT_EQ(workingCopies(), std::vector<std::string> { copies[1] });
    destroyAnotherHandle();
    EXPECT_EQ(workingCopies(), std::vector<std::string> { copies[1] }) << "still refused";

    // An entry whose file someone else removed is dropped as well.
    busyPath.clear();
    ASSERT_EQ(::unlink(copies[1].c_str()), 0);
    destroyAnotherHandle();

    // Both entries went: new files that get those names are left alone.
    for (const std::string& copy : copies)
        writeFile(copy, "another handle's copy");
    destroyAnotherHandle();
    EXPECT_EQ(workingCopies().size(), 2u);
}
