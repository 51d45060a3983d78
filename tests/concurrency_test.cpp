// Several processes and threads crypting and decrypting different files of
// one directory at once: every result is checked, nothing is left over.
#include "KFsCryptedFile.h"
#include "testutil.h"

#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace korvtest;

namespace {

constexpr int kWorkers = 4;
constexpr int kRounds = 12;

} // namespace

class Concurrency : public TempDirTest {
protected:
    // One worker's rounds on its own files: in place both ways, then to a
    // second name and back to a third. False at the first wrong result.
    bool work(int id) const
    {
        const std::string plain = textContent(300000, id + 1) + noiseContent(50000, id + 1);
        const std::string crypted = qtCrypted(plain);
        const std::string f = path("f" + std::to_string(id));
        const std::string c = path("c" + std::to_string(id));
        const std::string d = path("d" + std::to_string(id));
        writeFile(f, plain);
        for (int round = 0; round < kRounds; ++round) {
            bool wasCrypted = false;
            if (!KFsCryptedFile::crypt(f, f) || readFile(f) != crypted)
                return false;
            if (!KFsCryptedFile::decrypt(f, f, &wasCrypted) || !wasCrypted || readFile(f) != plain)
                return false;
            if (!KFsCryptedFile::crypt(c, f) || readFile(c) != crypted)
                return false;
            if (!KFsCryptedFile::decrypt(c, d, &wasCrypted) || !wasCrypted || readFile(d) != plain)
                return false;
            if (!KFsCryptedFile::decrypt(d, c, &wasCrypted) || wasCrypted || readFile(c) != plain)
                return false;
        }
        return true;
    }

    void expectOnlyTheWorkersFiles() const
    {
        std::vector<std::string> expected;
        for (const char* prefix : {"c", "d", "f"})
            for (int id = 0; id < kWorkers; ++id)
                expected.push_back(prefix + std::to_string(id));
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(listDirectory(root()), expected);
    }
};

TEST_F(Concurrency, ProcessesWorkingInOneDirectory)
{
    std::vector<pid_t> children;
    for (int id = 0; id < kWorkers; ++id) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            ::_exit(work(id) ? 0 : 1);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = -1;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker " << pid;
    }
    expectOnlyTheWorkersFiles();
}

TEST_F(Concurrency, ThreadsWorkingInOneDirectory)
{
    std::vector<std::thread> threads;
    bool ok[kWorkers] = {};
    for (int id = 0; id < kWorkers; ++id)
        threads.emplace_back([this, id, &ok] { ok[id] = work(id); });
    for (auto& t : threads)
        t.join();
    for (int id = 0; id < kWorkers; ++id)
        EXPECT_TRUE(ok[id]) << "worker " << id;
    expectOnlyTheWorkersFiles();
}
