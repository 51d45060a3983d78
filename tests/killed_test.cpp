// Processes killed with SIGKILL while they crypt or decrypt a large file in
// place: afterwards the file is always the whole old or the whole new content,
// and what the killed process left behind is recognisable by its name.
#include "KFsCryptedFile.h"
#include "platform_p.h"
#include "testutil.h"

#include <chrono>
#include <csignal>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using namespace korvtest;
using Clock = std::chrono::steady_clock;

namespace {

// Starts fn in a child, kills it with SIGKILL after delay (if it still runs)
// and reaps it.
void runAndKill(const std::function<bool()>& fn, std::chrono::microseconds delay)
{
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        ::_exit(fn() ? 0 : 1);
    ::usleep(static_cast<useconds_t>(delay.count()));
    ::kill(pid, SIGKILL);
    int status;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
}

} // namespace

class KilledProcesses : public TempDirTest {};

TEST_F(KilledProcesses, InPlaceRewritesKilledAtRandomMomentsLeaveTheOldOrTheNewFile)
{
    const std::string plain = textContent(16 << 20) + noiseContent(4 << 20);
    writeFile(path("plain"), plain);
    ASSERT_TRUE(KFsCryptedFile::crypt(path("crypted"), path("plain")));
    const std::string crypted = readFile(path("crypted"));

    // How long each rewrite takes here, so that the kills spread over it.
    const std::string f = path("f");
    auto timed = [&](const std::function<bool()>& fn) {
        const auto start = Clock::now();
        EXPECT_TRUE(fn());
        return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    };
    const auto cryptInPlace = [&] { return KFsCryptedFile::crypt(f, f); };
    const auto decryptInPlace = [&] { return KFsCryptedFile::decrypt(f, f); };
    ASSERT_TRUE(korv::platform::copyFile(path("plain"), f));
    const auto cryptTime = timed(cryptInPlace);
    const auto decryptTime = timed(decryptInPlace);

    const unsigned seed = std::random_device {}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    int kills = 0, midWrite = 0, oldSeen = 0, newSeen = 0;
    for (int round = 0; round < 60; ++round) {
        const bool crypting = round % 2 == 0;
        const std::string& before = crypting ? plain : crypted;
        const std::string& after = crypting ? crypted : plain;
        ASSERT_TRUE(korv::platform::copyFile(path(crypting ? "plain" : "crypted"), f));
        const auto span = (crypting ? cryptTime : decryptTime) * 3 / 2;
        runAndKill(crypting ? std::function<bool()>(cryptInPlace) : decryptInPlace,
                   std::chrono::microseconds(random() % (span.count() + 1)));
        ++kills;

        const std::string now = readFile(f);
        ASSERT_TRUE(now == before || now == after)
            << "round " << round << (crypting ? ", crypting" : ", decrypting") << ": " << now.size()
            << " bytes, neither the old " << before.size() << " nor the new " << after.size();
        ++(now == before ? oldSeen : newSeen);
        bool leftover = false;
        for (const std::string& name : listDirectory(root())) {
            if (name == "plain" || name == "crypted" || name == "f")
                continue;
            ASSERT_TRUE(isTemporaryNameOf(name, "f")) << name;
            leftover = true;
            ::unlink(path(name).c_str());
        }
        midWrite += leftover;
    }
    // The kills must really have landed during the writes, not only around them.
    EXPECT_GE(midWrite, kills / 4);
    std::printf("%d kills: %d mid-write, %d left the old file, %d the new one\n", kills, midWrite, oldSeen,
                newSeen);
}
