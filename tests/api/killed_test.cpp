// Processes killed with SIGKILL while they crypt or decrypt a large file in
// place, or while a write handle crypts its working copy back: afterwards the
// file is always the whole old or the whole new content, and what the killed
// process left behind is recognisable by its name.
#include "KFsCryptedFile.h"
#include "platform_p.h"
#include "testutil.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace korv;
using namespace korvtest;
using Clock = std::chrono::steady_clock;
using Micros = std::chrono::microseconds;

namespace {

// One way of rewriting the file "f": it starts as a copy of the file `start`
// and op turns `before` into `after`. The tests keep such files in "sources".
struct Rewrite {
    const char* name;
    std::string start;
    std::function<bool()> op;
    const std::string* before;
    const std::string* after;
    Micros duration { 0 };
};

// Starts fn in a child, kills it with SIGKILL after delay (if it still runs)
// and reaps it.
void runAndKill(const std::function<bool()>& fn, Micros delay)
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

// How long fn takes in a child, from the fork to the reaping, as runAndKill
// sees it: the median of three runs, so that one slow first run (cold caches,
// a busy machine) does not aim every kill past the end of the write.
Micros timeInChild(const std::function<bool()>& fn, const std::function<void()>& reset)
{
    std::vector<Micros> runs;
    for (int i = 0; i < 3; ++i) {
        reset();
        const auto start = Clock::now();
        const pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(fn() ? 0 : 1);
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return Micros(-1);
        runs.push_back(std::chrono::duration_cast<Micros>(Clock::now() - start));
    }
    std::sort(runs.begin(), runs.end());
    return runs[1];
}

// A working copy's name: "kr2" and ten letters or digits.
bool isWorkingCopyName(const std::string& name)
{
    return name.size() == 13 && name.compare(0, 3, "kr2") == 0
        && std::all_of(
            name.begin() + 3, name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

} // namespace

class KilledProcesses : public WorkingCopyTest {
protected:
    void SetUp() override
    {
        WorkingCopyTest::SetUp();
        ASSERT_EQ(::mkdir(path("sources").c_str(), 0755), 0);
    }

    // Runs the rewrites in turn, each killed at a random moment of (a little
    // more than) the time it takes, and checks what is left.
    void killRepeatedly(std::vector<Rewrite>& rewrites, int rounds)
    {
        const std::string f = path("f");
        for (Rewrite& r : rewrites) {
            r.duration = timeInChild(r.op, [&] { ASSERT_TRUE(platform::copyFile(r.start, f)); });
            ASSERT_GT(r.duration.count(), 0) << r.name;
            ASSERT_TRUE(readFile(f) == *r.after) << r.name;
        }
        const unsigned seed = std::random_device {}();
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        int midWrite = 0, oldSeen = 0;
        // An unlucky draw or a machine that slows down midway may land too few
        // kills inside the writes; more rounds then make up for them.
        int round = 0;
        for (; round < rounds || (midWrite < rounds / 4 && round < 3 * rounds); ++round) {
            const Rewrite& r = rewrites[round % rewrites.size()];
            ASSERT_TRUE(platform::copyFile(r.start, f));
            runAndKill(r.op, Micros(random() % (r.duration.count() * 3 / 2 + 1)));

            const std::string now = readFile(f);
            ASSERT_TRUE(now == *r.before || now == *r.after)
                << "round " << round << ", " << r.name << ": " << now.size() << " bytes, neither the old "
                << r.before->size() << " nor the new " << r.after->size();
            oldSeen += now == *r.before;
            bool leftover = false;
            for (const std::string& name : listDirectory(root())) {
                if (name == "f" || name == "tmp" || name == "sources")
                    continue;
                ASSERT_TRUE(isTemporaryNameOf(name, "f")) << name;
                leftover = true;
                ::unlink(path(name).c_str());
            }
            for (const std::string& copy : workingCopies()) {
                ASSERT_TRUE(isWorkingCopyName(copy.substr(tmp().size() + 1))) << copy;
                leftover = true;
                ::unlink(copy.c_str());
            }
            midWrite += leftover;
        }
        std::printf("%d kills: %d left files behind, %d left the old content, %d the new\n", round, midWrite,
            oldSeen, round - oldSeen);
        // The kills must really have landed during the writes, not only around them.
        EXPECT_GE(midWrite, rounds / 4);
    }
};

TEST_F(KilledProcesses, InPlaceRewritesLeaveTheOldOrTheNewFile)
{
    const std::string plain = textContent(16 << 20) + noiseContent(4 << 20);
    const std::string crypted = qtCrypted(plain);
    writeFile(path("sources/plain"), plain);
    writeFile(path("sources/crypted"), crypted);
    const std::string f = path("f");
    std::vector<Rewrite> rewrites {
        { "crypting in place", path("sources/plain"), [&] { return KFsCryptedFile::crypt(f, f); }, &plain,
            &crypted },
        { "decrypting in place", path("sources/crypted"), [&] { return KFsCryptedFile::decrypt(f, f); },
            &crypted, &plain },
    };
    killRepeatedly(rewrites, 60);
}

TEST_F(KilledProcesses, WriteBacksLeaveTheOldOrTheNewFile)
{
    const std::string oldCrypted = qtCrypted(textContent(6 << 20, 1));
    const std::string newPlain = textContent(6 << 20, 2) + noiseContent(1 << 20);
    const std::string newCrypted = qtCrypted(newPlain);
    writeFile(path("sources/old"), oldCrypted);
    writeFile(path("sources/new"), newPlain);
    const std::string f = path("f");
    std::vector<Rewrite> rewrites {
        { "writing back a handle", path("sources/old"),
            [&] {
                KFsCryptedFile handle(f, KFsWrite);
                const std::string& copy = handle.getDecryptedFilePath();
                return platform::copyFile(path("sources/new"), copy, platform::WriteMode::WorkingCopy);
            },
            &oldCrypted, &newCrypted },
    };
    killRepeatedly(rewrites, 20);
}
