// Every path that writes a user's file, run in a child whose file-size limit
// makes the write run out of room: the call fails, every file is as it was
// (content and permissions) and nothing is left beside the target. A write
// handle or stream whose write-back fails keeps its working copy, the only
// place the new content lives; nothing else stays in the temporary directory.
#include "CFileSystem.h"
#include "KFsCryptedFile.h"
#include "testutil.h"

#include <map>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace korvtest;

namespace {

// Every name under dir with its permissions and content (directories by name only).
std::map<std::string, std::string> snapshot(const std::string& dir)
{
    std::map<std::string, std::string> files;
    for (const std::string& name : listDirectory(dir)) {
        const std::string path = dir + "/" + name;
        struct stat st;
        ::lstat(path.c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            files[name + "/"] = "";
            for (const auto& [inner, content] : snapshot(path))
                files[name + "/" + inner] = content;
        } else {
            files[name] = std::to_string(st.st_mode) + ":" + readFile(path);
        }
    }
    return files;
}

// Runs call in a child whose files may not grow beyond limit bytes: 1 when it
// returned true, 0 when false, anything else when it did not end normally.
int resultWithin(std::uint64_t limit, const std::function<bool()>& call)
{
    return runWithFileSizeLimit(limit, [&] { return call() ? 1 : 0; });
}

// Lowers the file-size limit of the calling (child) process.
bool limitFileSize(std::uint64_t limit)
{
    const rlimit rl { limit, limit };
    return ::setrlimit(RLIMIT_FSIZE, &rl) == 0;
}

struct WritePath {
    const char* name;
    std::function<bool()> call;
    std::size_t newSize; // the size of what a successful call writes
};

} // namespace

class FailingWrites : public TempDirTest {
protected:
    void SetUp() override
    {
        writeFile(path("plain"), plain);
        writeFile(path("crypted"), crypted);
        writeFile(path("old"), "old content");
        writeFile(path("read-only"), "old read-only content");
        setPermissions(path("read-only"), 0440);
        writeFile(path("in-place"), plain);
        writeFile(path("in-place.kr"), crypted);
        setPermissions(path("in-place.kr"), 0400);
    }

    std::vector<WritePath> writePaths()
    {
        auto crypt = [this](const char* target, const char* source) {
            return [=] { return KFsCryptedFile::crypt(path(target), path(source)); };
        };
        auto decrypt = [this](const char* source, const char* target) {
            return [=] { return KFsCryptedFile::decrypt(path(source), path(target)); };
        };
        return {
            { "crypt to a new target", crypt("new", "plain"), crypted.size() },
            { "crypt to an existing target", crypt("old", "plain"), crypted.size() },
            { "crypt to a read-only target", crypt("read-only", "plain"), crypted.size() },
            { "crypt in place", crypt("in-place", "in-place"), crypted.size() },
            { "decrypt a crypted file to a new target", decrypt("crypted", "new"), plain.size() },
            { "decrypt a crypted file to an existing target", decrypt("crypted", "old"), plain.size() },
            { "decrypt a crypted file to a read-only target", decrypt("crypted", "read-only"), plain.size() },
            { "decrypt a crypted file in place", decrypt("in-place.kr", "in-place.kr"), plain.size() },
            { "decrypt a plain file to a new target", decrypt("plain", "new"), plain.size() },
            { "decrypt a plain file to an existing target", decrypt("plain", "old"), plain.size() },
            { "decrypt a plain file to a read-only target", decrypt("plain", "read-only"), plain.size() },
        };
    }

    const std::string plain = textContent(300000) + noiseContent(100000);
    const std::string crypted = qtCrypted(plain);
};

TEST_F(FailingWrites, EveryWriteThatRunsOutOfRoomFailsAndKeepsEveryFile)
{
    const auto before = snapshot(root());
    for (const WritePath& w : writePaths()) {
        // Out of room at the first byte, in the middle, and one byte short.
        for (std::size_t limit : { std::size_t(1), std::size_t(6), w.newSize / 2, w.newSize - 1 }) {
            EXPECT_EQ(resultWithin(limit, w.call), 0) << w.name << ", limit " << limit;
            ASSERT_EQ(snapshot(root()), before) << w.name << ", limit " << limit;
        }
    }
}

// The same limits are not what fails the calls: with room for exactly the
// new content each of them succeeds.
TEST_F(FailingWrites, EveryWriteSucceedsWithRoomForExactlyItsContent)
{
    for (const WritePath& w : writePaths()) {
        EXPECT_EQ(resultWithin(w.newSize, w.call), 1) << w.name;
        SetUp();
    }
}

TEST_F(FailingWrites, DecryptingAPlainFileInPlaceWritesNothingAndSucceeds)
{
    const auto before = snapshot(root());
    EXPECT_EQ(
        resultWithin(1, [&] { return KFsCryptedFile::decrypt(path("in-place"), path("in-place")); }), 1);
    EXPECT_EQ(snapshot(root()), before);
}

// Directories made for a target stay when its write fails; they are empty.
TEST_F(FailingWrites, DirectoriesMadeForAFailedTargetStayEmpty)
{
    EXPECT_EQ(resultWithin(4096, [&] { return KFsCryptedFile::crypt(path("a/b/new"), path("plain")); }), 0);
    EXPECT_EQ(
        resultWithin(4096, [&] { return KFsCryptedFile::decrypt(path("crypted"), path("a/c/new")); }), 0);
    EXPECT_EQ(listDirectory(path("a")), (std::vector<std::string> { "b", "c" }));
    EXPECT_TRUE(listDirectory(path("a/b")).empty());
    EXPECT_TRUE(listDirectory(path("a/c")).empty());
}

class FailingWriteBacks : public WorkingCopyTest {
protected:
    void SetUp() override
    {
        WorkingCopyTest::SetUp();
        writeFile(path("data.kr"), qtCrypted(oldPlain));
        setPermissions(path("data.kr"), 0640);
    }

    // The file is as it was, nothing is beside it, and the one working copy
    // left holds the new content; it is removed for the next round.
    void expectFileKeptAndOnlyCopyLeft(const std::string& what)
    {
        EXPECT_EQ(readFile(path("data.kr")), qtCrypted(oldPlain)) << what;
        EXPECT_EQ(permissions(path("data.kr")), 0640u) << what;
        EXPECT_EQ(listDirectory(root()), (std::vector<std::string> { "data.kr", "tmp" })) << what;
        const auto copies = workingCopies();
        ASSERT_EQ(copies.size(), 1u) << what;
        EXPECT_EQ(readFile(copies.front()), newPlain) << what;
        ::unlink(copies.front().c_str());
    }

    const std::string oldPlain = textContent(200000, 1);
    const std::string newPlain = textContent(150000, 2) + noiseContent(50000);
    const std::size_t newSize = qtCrypted(newPlain).size();
};

TEST_F(FailingWriteBacks, AWriteHandleThatCannotWriteBackKeepsTheFileAndItsCopy)
{
    for (std::size_t limit : { std::size_t(1), newSize / 2, newSize - 1 }) {
        // The limit comes after the working copy is made and filled.
        EXPECT_EQ(runWithFileSizeLimit(RLIM_INFINITY,
                      [&] {
                          auto handle = std::make_unique<KFsCryptedFile>(path("data.kr"), KFsWrite);
                          writeFile(handle->getDecryptedFilePath(), newPlain);
                          if (!limitFileSize(limit))
                              return 2;
                          handle.reset();
                          return 0;
                      }),
            0);
        expectFileKeptAndOnlyCopyLeft("limit " + std::to_string(limit));
    }
}

TEST_F(FailingWriteBacks, AWriteStreamThatCannotWriteBackReportsItAtClose)
{
    for (const char* mode : { "wb", "w+", "r+" }) {
        for (std::size_t limit : { std::size_t(1), newSize - 1 }) {
            const int status = runWithFileSizeLimit(RLIM_INFINITY, [&] {
                CFileSystem stream;
                if (stream.open(path("data.kr").c_str(), mode) != 0)
                    return 2;
                stream.write(newPlain.data(), 1, unsigned(newPlain.size()));
                if (stream.flush() != 0 || !limitFileSize(limit))
                    return 3;
                return stream.close() == EOF ? 1 : 0;
            });
            EXPECT_EQ(status, 1) << mode << ", limit " << limit;
            expectFileKeptAndOnlyCopyLeft(std::string(mode) + ", limit " + std::to_string(limit));
        }
    }
}

// rewind() clears the error indicator, not the loss: a write the working copy
// missed (reported by fwrite, or met only by rewind's own flush) still keeps
// the copy from being crypted back, and close() reports it.
TEST_F(FailingWriteBacks, AWriteLostBeforeARewindIsReportedAtClose)
{
    // Room for the crypted form of what reaches the copy, not for all of it.
    const std::string buffered(1000, 'a');
    for (const std::string* content : { &newPlain, &buffered }) {
        const std::size_t limit = content == &newPlain ? newSize : 100;
        for (const char* mode : { "wb", "w+" }) {
            const int status = runWithFileSizeLimit(RLIM_INFINITY, [&] {
                CFileSystem stream;
                if (stream.open(path("data.kr").c_str(), mode) != 0 || !limitFileSize(limit))
                    return 2;
                stream.write(content->data(), 1, unsigned(content->size()));
                stream.rewind();
                return stream.close() == EOF ? 1 : 0;
            });
            EXPECT_EQ(status, 1) << mode << ", limit " << limit;
            EXPECT_TRUE(readFile(path("data.kr")) == qtCrypted(oldPlain)) << mode << ", limit " << limit;
            EXPECT_TRUE(workingCopies().empty());
        }
    }
}

// A working copy that cannot be filled is not handed out, and not left behind.
TEST_F(FailingWriteBacks, NoWorkingCopyIsMadeWithoutRoomForIt)
{
    EXPECT_EQ(runWithFileSizeLimit(1000,
                  [&] {
                      KFsCryptedFile reader(path("data.kr"), KFsRead);
                      KFsCryptedFile writer(path("data.kr"), KFsWrite);
                      CFileSystem stream;
                      return reader.getDecryptedFilePath().empty() && writer.getDecryptedFilePath().empty()
                              && stream.open(path("data.kr").c_str(), "rb") == 1
                              && stream.open(path("data.kr").c_str(), "ab") == 1
                          ? 1
                          : 0;
                  }),
        1);
    EXPECT_EQ(readFile(path("data.kr")), qtCrypted(oldPlain));
    EXPECT_TRUE(workingCopies().empty());
}

TEST_F(FailingWrites, ChecksumTrailersThatRunOutOfRoomLeaveTheFileAsItWas)
{
    const QString file = QString::fromStdString(path("in-place"));
    const auto before = snapshot(root());
    // Appending: no room at all, or room for one of the two bytes.
    for (std::size_t limit : { plain.size(), plain.size() + 1 }) {
        EXPECT_EQ(runWithFileSizeLimit(limit,
                      [&] {
                          CFileSystem::addCheckSum(file);
                          return 0;
                      }),
            0);
        EXPECT_EQ(snapshot(root()), before) << "limit " << limit;
    }
    // Stripping cuts the file in place and writes nothing: no limit stops it.
    CFileSystem::addCheckSum(file);
    EXPECT_EQ(resultWithin(1, [&] { return CFileSystem::removeCheckSum(file); }), 1);
    EXPECT_EQ(snapshot(root()), before);
}
