// Handles and streams created and destroyed on many threads at once, and
// several processes and threads converting and opening their own files of one
// directory with one temporary directory: every content read or written is
// checked, and nothing (working copy or temporary file) is left behind.
// CI runs these tests under ThreadSanitizer as well.
#include "CFileSystem.h"
#include "KFsCryptedFile.h"
#include "platform_p.h"
#include "testhooks_p.h"
#include "testutil.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif
#include <thread>
#include <unistd.h>

using namespace korv;
using namespace korvtest;

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 25;
constexpr int kSharedFiles = 4;

// Refuses every fifth removal of a working copy on each thread, so that the
// shared list of copies still to be removed fills and drains all the time.
bool refuseSomeRemovals(const std::string& path)
{
    thread_local unsigned calls = 0;
    return path.find("/kr2") != std::string::npos && ++calls % 5 == 0;
}

std::string readThroughStream(const std::string& file)
{
    CFileSystem stream;
    if (stream.open(file.c_str(), "rb") != 0)
        return "<open failed>";
    CFileSystem copy(stream);
    stream.close();
    return readAll(copy);
}

} // namespace

class Concurrency : public WorkingCopyTest {
protected:
    void TearDown() override
    {
        platform::removeFault = nullptr;
        WorkingCopyTest::TearDown();
    }
    // With removals allowed again, one more destruction clears the list.
    void expectNoWorkingCopyLeft()
    {
        platform::removeFault = nullptr;
        KFsCryptedFile("/nonexistent/korv", KFsRead);
        EXPECT_EQ(workingCopies(), std::vector<std::string> {});
    }

    // One worker's rounds on its own files: crypt and decrypt in place and
    // through second names, read through a handle, write through a stream
    // and a write handle. False at the first wrong result.
    bool work(int id) const
    {
        const std::string n = std::to_string(id);
        const std::string plain = textContent(200000, id + 1) + noiseContent(30000, id + 1);
        const std::string crypted = qtCrypted(plain);
        const std::string f = path("f" + n), c = path("c" + n), d = path("d" + n), h = path("h" + n);
        writeFile(f, plain);
        for (int round = 0; round < 8; ++round) {
            bool wasCrypted = false;
            if (!KFsCryptedFile::crypt(f, f) || readFile(f) != crypted)
                return false;
            {
                KFsCryptedFile handle(f, KFsRead);
                if (readFile(handle.getDecryptedFilePath()) != plain)
                    return false;
            }
            if (!KFsCryptedFile::decrypt(f, f, &wasCrypted) || !wasCrypted || readFile(f) != plain)
                return false;
            if (!KFsCryptedFile::crypt(c, f) || !KFsCryptedFile::decrypt(c, d, &wasCrypted) || !wasCrypted
                || readFile(d) != plain)
                return false;
            const std::string written = "worker " + n + " round " + std::to_string(round);
            CFileSystem stream;
            if (stream.open(h.c_str(), "wb") != 0 || stream.puts(written.c_str()) < 0 || stream.close() != 0
                || readFile(h) != qtCrypted(written))
                return false;
            {
                KFsCryptedFile handle(h, KFsWrite);
                writeFile(handle.getDecryptedFilePath(), written + " again");
            }
            if (readFile(h) != qtCrypted(written + " again"))
                return false;
        }
        return true;
    }

    void expectOnlyTheWorkersFiles(int workers) const
    {
        std::vector<std::string> expected { "tmp" };
        for (const char* prefix : { "c", "d", "f", "h" })
            for (int id = 0; id < workers; ++id)
                expected.push_back(prefix + std::to_string(id));
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(listDirectory(root()), expected);
        EXPECT_EQ(workingCopies(), std::vector<std::string> {});
    }
};

TEST_F(Concurrency, ManyThreadsReadAndWriteThroughHandlesAndStreams)
{
    std::vector<std::string> shared;
    for (int i = 0; i < kSharedFiles; ++i) {
        shared.push_back(textContent(20000 + 1000 * i, i + 1));
        writeFile(path("shared" + std::to_string(i)), qtCrypted(shared.back()));
    }
    platform::removeFault = refuseSomeRemovals;

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string own = path("own" + std::to_string(t) + ".kr");
            for (int round = 0; round < kRounds; ++round) {
                const int i = (t + round) % kSharedFiles;
                const std::string file = path("shared" + std::to_string(i));
                {
                    KFsCryptedFile handle(file, KFsRead);
                    KFsCryptedFile copy(handle);
                    EXPECT_EQ(readFile(copy.getDecryptedFilePath()), shared[i]);
                }
                EXPECT_EQ(readThroughStream(file), shared[i]);

                const std::string written = "thread " + std::to_string(t) + " round " + std::to_string(round);
                CFileSystem stream;
                ASSERT_EQ(stream.open(own.c_str(), round % 2 ? "wb" : "w+"), 0);
                EXPECT_EQ(stream.write(written.data(), 1, unsigned(written.size())), written.size());
                EXPECT_EQ(stream.close(), 0);
                EXPECT_EQ(readFile(own), qtCrypted(written));
                {
                    KFsCryptedFile handle(own, KFsWrite);
                    EXPECT_EQ(readFile(handle.getDecryptedFilePath()), written);
                    writeFile(handle.getDecryptedFilePath(), written + " again");
                }
                EXPECT_EQ(readFile(own), qtCrypted(written + " again"));
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int i = 0; i < kSharedFiles; ++i)
        EXPECT_EQ(readFile(path("shared" + std::to_string(i))), qtCrypted(shared[i]));
    expectNoWorkingCopyLeft();
}

TEST_F(Concurrency, CopiesOfOneStreamReleasedOnManyThreadsWriteBackOnce)
{
    platform::removeFault = refuseSomeRemovals;
    for (int round = 0; round < kRounds; ++round) {
        const std::string file = path("f" + std::to_string(round % 3) + ".kr");
        const std::string content = " round " + std::to_string(round);
        writeFile(file, qtCrypted("prefix"));
        std::vector<CFileSystem> copies(kThreads);
        {
            CFileSystem stream;
            ASSERT_EQ(stream.open(file.c_str(), "ab"), 0);
            stream.puts(content.c_str());
            for (auto& copy : copies)
                copy = stream;
        }
        std::vector<std::thread> threads;
        for (auto& copy : copies)
            threads.emplace_back([&copy] { EXPECT_EQ(copy.close(), 0); });
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(readFile(file), qtCrypted("prefix" + content));
    }
    expectNoWorkingCopyLeft();
}

TEST_F(Concurrency, ProcessesConvertAndOpenFilesOfOneDirectoryWithOneTemporaryDirectory)
{
    KORV_SKIP_ON_WINDOWS("fork");
#ifndef _WIN32
    constexpr int kProcesses = 4;
    std::vector<pid_t> children;
    for (int id = 0; id < kProcesses; ++id) {
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
    expectOnlyTheWorkersFiles(kProcesses);
#endif
}

TEST_F(Concurrency, ThreadsConvertAndOpenFilesOfOneDirectory)
{
    std::vector<std::thread> threads;
    bool ok[kThreads] = {};
    for (int id = 0; id < kThreads; ++id)
        threads.emplace_back([this, id, &ok] { ok[id] = work(id); });
    for (auto& thread : threads)
        thread.join();
    for (int id = 0; id < kThreads; ++id)
        EXPECT_TRUE(ok[id]) << "worker " << id;
    expectOnlyTheWorkersFiles(kThreads);
}
