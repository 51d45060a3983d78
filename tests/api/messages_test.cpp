// A damaged crypted file is reported with the same message, said once,
// through every path that reads it: the whole-file call and the device.
#include "KFsCryptedDevice.h"
#include "KFsCryptedFile.h"
#include "testutil.h"

using namespace korvtest;

namespace {

class Messages : public TempDirTest { };

// Files large enough to go through the mapped source and the streaming decoder.
struct Damaged {
    const char* name;
    std::string bytes;
    const char* message;
};

std::vector<Damaged> damagedFiles()
{
    const std::string good = qtCrypted(textContent(4 << 20));
    std::string adler = good;
    adler.back() ^= 1;
    return { { "truncated", good.substr(0, good.size() / 2), "corrupt data: the compressed stream ends early" },
        { "adler", adler, "corrupt data: the Adler-32 checksum does not match" } };
}

} // namespace

TEST_F(Messages, DamageIsNamedOnceByTheWholeFileCallAndTheDevice)
{
    for (const Damaged& f : damagedFiles()) {
        writeFile(path(f.name), f.bytes);
        KFsError e;
        EXPECT_FALSE(KFsCryptedFile::decrypt(path(f.name), path("out"), nullptr, &e));
        EXPECT_EQ(e.message.toStdString(), f.message) << f.name;

        KFsCryptedDevice device(QString::fromStdString(path(f.name)));
        ASSERT_TRUE(device.open(QIODevice::ReadOnly)) << f.name;
        while (device.read(1 << 20).size() > 0) { }
        EXPECT_EQ(device.errorString().toStdString(), f.message) << f.name;
        EXPECT_EQ(device.error().message.toStdString(), f.message) << f.name;
    }
}
