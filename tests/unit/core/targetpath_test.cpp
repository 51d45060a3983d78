// Preparing target paths: directories created top down, read-only targets
// made writable, and walks that end even where nothing exists.
#include "targetpath_p.h"
#include "testutil.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace korv;
using namespace korvtest;

class TargetPath : public TempDirTest { };

TEST_F(TargetPath, CreatesEveryMissingDirectoryButNotTheFile)
{
    makeDirectory(path("a"));
    prepareTargetPath(path("a/b/c/file.txt"));
    struct stat st;
    ASSERT_EQ(::stat(path("a/b/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(fileExists(path("a/b/c/file.txt")));
}

TEST_F(TargetPath, ARegularFileOnTheWayStopsTheWalk)
{
    writeFile(path("file"), "x");
    prepareTargetPath(path("file/sub/target"));
    EXPECT_EQ(readFile(path("file")), "x");
    EXPECT_EQ(listDirectory(root()), std::vector<std::string> { "file" });
}

TEST_F(TargetPath, ReadOnlyTargetBecomesWritableAndKeepsItsOtherBits)
{
    writeFile(path("t"), "content");
    setPermissions(path("t"), 04554);
    prepareTargetPath(path("t"));
    EXPECT_EQ(permissions(path("t")), shownMode(04754));
    EXPECT_EQ(readFile(path("t")), "content");
    setPermissions(path("t"), 0640);
    prepareTargetPath(path("t"));
    EXPECT_EQ(permissions(path("t")), shownMode(0640));
}

TEST_F(TargetPath, RelativeTargetsAndAVanishedWorkingDirectory)
{
    KORV_SKIP_ON_WINDOWS("a working directory that can be removed");
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    makeDirectory(path("cwd"));
    ASSERT_EQ(::chdir(path("cwd").c_str()), 0);
    prepareTargetPath("bare-name");
    prepareTargetPath("rel/dir/name");
    EXPECT_TRUE(fileExists(path("cwd/rel/dir")));

    // With the working directory removed nothing exists on the way up: the
    // walk must still end.
    ASSERT_EQ(::rmdir(path("cwd/rel/dir").c_str()), 0);
    ASSERT_EQ(::rmdir(path("cwd/rel").c_str()), 0);
    ASSERT_EQ(::rmdir(path("cwd").c_str()), 0);
    prepareTargetPath("x/y/name");
    ASSERT_EQ(::chdir(previous), 0);
    EXPECT_FALSE(fileExists(path("cwd")));
}
