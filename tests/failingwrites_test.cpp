// Every path that writes a user's file, run in a child whose file-size limit
// makes the write run out of room: the call fails, every file is as it was
// (content and permissions) and nothing is left beside the target.
#include "KFsCryptedFile.h"
#include "testutil.h"

#include <map>
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
            {"crypt to a new target", crypt("new", "plain"), crypted.size()},
            {"crypt to an existing target", crypt("old", "plain"), crypted.size()},
            {"crypt to a read-only target", crypt("read-only", "plain"), crypted.size()},
            {"crypt in place", crypt("in-place", "in-place"), crypted.size()},
            {"decrypt a crypted file to a new target", decrypt("crypted", "new"), plain.size()},
            {"decrypt a crypted file to an existing target", decrypt("crypted", "old"), plain.size()},
            {"decrypt a crypted file to a read-only target", decrypt("crypted", "read-only"), plain.size()},
            {"decrypt a crypted file in place", decrypt("in-place.kr", "in-place.kr"), plain.size()},
            {"decrypt a plain file to a new target", decrypt("plain", "new"), plain.size()},
            {"decrypt a plain file to an existing target", decrypt("plain", "old"), plain.size()},
            {"decrypt a plain file to a read-only target", decrypt("plain", "read-only"), plain.size()},
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
        for (std::size_t limit : {std::size_t(1), std::size_t(6), w.newSize / 2, w.newSize - 1}) {
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
    EXPECT_EQ(resultWithin(1, [&] { return KFsCryptedFile::decrypt(path("in-place"), path("in-place")); }), 1);
    EXPECT_EQ(snapshot(root()), before);
}

// Directories made for a target stay when its write fails; they are empty.
TEST_F(FailingWrites, DirectoriesMadeForAFailedTargetStayEmpty)
{
    EXPECT_EQ(resultWithin(4096, [&] { return KFsCryptedFile::crypt(path("a/b/new"), path("plain")); }), 0);
    EXPECT_EQ(resultWithin(4096, [&] { return KFsCryptedFile::decrypt(path("crypted"), path("a/c/new")); }), 0);
    EXPECT_EQ(listDirectory(path("a")), (std::vector<std::string>{"b", "c"}));
    EXPECT_TRUE(listDirectory(path("a/b")).empty());
    EXPECT_TRUE(listDirectory(path("a/c")).empty());
}
