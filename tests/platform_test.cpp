// The Linux platform layer: permission bits and the file copy.
#include "platform_p.h"
#include "testutil.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace korv;
using namespace korvtest;

class Platform : public TempDirTest {};

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

TEST_F(Platform, CopyReplacesTargetAndCarriesPermissions)
{
    const std::string bytes = noiseContent(300000);
    writeFile(path("src"), bytes);
    setPermissions(path("src"), 0751);
    writeFile(path("dst"), "old, longer than nothing");
    ASSERT_TRUE(platform::copyFile(path("src"), path("dst")));
    EXPECT_EQ(readFile(path("dst")), bytes);
    EXPECT_EQ(permissions(path("dst")), 0751u);
    EXPECT_EQ(listDirectory(root()), (std::vector<std::string>{"dst", "src"}));
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
    for (const std::string& other : {path("f"), path("sym"), path("hard"), root() + "/./f", root() + "//f"}) {
        EXPECT_TRUE(platform::copyFile(path("f"), other)) << other;
        EXPECT_TRUE(platform::copyFile(other, path("f"))) << other;
        EXPECT_EQ(readFile(path("f")), bytes) << other;
    }
}
