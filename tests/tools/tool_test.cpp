// KorvDecrypt run as a user runs it: exact output, exit status, empty
// stderr, and the files it leaves behind.
#include "testutil.h"

#include <QProcess>
#include <chrono>
#include <random>
#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace korvtest;

namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

// The tool's main returns -1 for a failure: 255 here, -1 as a Windows exit code.
#ifdef _WIN32
constexpr int kFailed = -1;
#else
constexpr int kFailed = 255;
#endif

ToolRun runTool(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(KORV_DECRYPT_PATH), arguments);
    process.closeWriteChannel();
    process.waitForFinished(60000);
    return { process.exitCode(), withLfLineEnds(process.readAllStandardOutput().toStdString()),
        withLfLineEnds(process.readAllStandardError().toStdString()) };
}

QString q(const std::string& s)
{
    return QString::fromStdString(s);
}

#ifndef _WIN32
// Becomes the tool, with arguments given as bytes (QProcess takes only
// text) and standard output going to fd.
[[noreturn]] void execTool(const std::vector<std::string>& arguments, int fd)
{
    ::dup2(fd, STDOUT_FILENO);
    std::vector<char*> argv { const_cast<char*>(KORV_DECRYPT_PATH) };
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(KORV_DECRYPT_PATH, argv.data());
    ::_exit(127);
}

pid_t startTool(const std::vector<std::string>& arguments, int fd)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        execTool(arguments, fd);
    return pid;
}

#endif

std::string header(const std::string& source, const std::string& target)
{
    return "Decrypting\tsource\t: " + source + "\n\t\ttarget\t: " + target + "\n\t\tresult\t: ";
}

const std::string kUsage = "Usage :\n"
                           "KorvDecrypt.exe <source> [ <target> ]\n"
                           "Note : when <target> is omitted, 'in place' decryption will occur.\n";

} // namespace

class Tool : public TempDirTest { };

TEST_F(Tool, WrongArgumentCountsPrintUsage)
{
    for (const QStringList& args : { QStringList {}, QStringList { "a", "b", "c" } }) {
        ToolRun r = runTool(args);
        EXPECT_EQ(r.out, kUsage);
        EXPECT_EQ(r.status, kFailed);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Tool, DecryptsToATargetAndInPlace)
{
    const std::string plain = textContent(100000);
    writeFile(path("a.dat"), qtCrypted(plain));
    ToolRun r = runTool({ q(path("a.dat")), q(path("new dir/out.txt")) });
    EXPECT_EQ(r.out, header(path("a.dat"), path("new dir/out.txt")) + "OK\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(path("new dir/out.txt")), plain);

    r = runTool({ q(path("a.dat")) });
    EXPECT_EQ(r.out, header(path("a.dat"), path("a.dat")) + "OK\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(path("a.dat")), plain);
    EXPECT_EQ(listDirectory(root()), (std::vector<std::string> { "a.dat", "new dir" }));
}

TEST_F(Tool, PlainFilesAreCopiedAndReportedOk)
{
    writeFile(path("plain.txt"), "just text\n");
    ToolRun r = runTool({ q(path("plain.txt")), q(path("copy.txt")) });
    EXPECT_EQ(r.out, header(path("plain.txt"), path("copy.txt")) + "OK\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(path("copy.txt")), "just text\n");
}

TEST_F(Tool, FailuresPrintErrorAndLeaveFilesAlone)
{
    ToolRun r = runTool({ q(path("missing.dat")), q(path("out.txt")) });
    EXPECT_EQ(r.out, header(path("missing.dat"), path("out.txt")) + "ERROR\n");
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fileExists(path("out.txt")));

    const std::string truncated = qtCrypted(textContent(10000)).substr(0, 40);
    writeFile(path("bad.dat"), truncated);
    r = runTool({ q(path("bad.dat")) });
    EXPECT_EQ(r.out, header(path("bad.dat"), path("bad.dat")) + "ERROR\n");
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(path("bad.dat")), truncated);
}

// The tool killed at random moments while it decrypts a large file in place:
// the file is the whole crypted or the whole plain content, never a mixture.
TEST_F(Tool, KilledMidDecryptLeavesTheOldOrTheNewFile)
{
    KORV_SKIP_ON_WINDOWS("fork and SIGKILL");
#ifndef _WIN32
    const std::string plain = textContent(12 << 20) + noiseContent(4 << 20);
    const std::string crypted = qtCrypted(plain);
    const unsigned seed = std::random_device {}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::string f = path("f");
    for (int round = 0; round < 20; ++round) {
        writeFile(f, crypted);
        const int null = ::open("/dev/null", O_WRONLY);
        const pid_t pid = startTool({ f }, null);
        ::close(null);
        ASSERT_GE(pid, 0);
        ::usleep(random() % 150000);
        ::kill(pid, SIGKILL);
        int status;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        const std::string now = readFile(f);
        ASSERT_TRUE(now == crypted || now == plain) << "round " << round << ": " << now.size() << " bytes";
        for (const std::string& name : listDirectory(root())) {
            if (name == "f")
                continue;
            EXPECT_TRUE(isTemporaryNameOf(name, "f")) << name;
            ::unlink(path(name).c_str());
        }
    }
#endif
}

TEST_F(Tool, PathsThatAreNotUtf8ArePassedAndPrintedByteForByte)
{
    KORV_SKIP_ON_WINDOWS("byte-string arguments through exec");
#ifndef _WIN32
    const std::string plain = textContent(5000);
    writeFile(path("s\xff.kr"), qtCrypted(plain));
    writeFile(path("out"), "");
    const int out = ::open(path("out").c_str(), O_WRONLY);
    const pid_t pid = startTool({ path("s\xff.kr"), path("d\xe9/t\x80") }, out);
    ::close(out);
    ASSERT_GE(pid, 0);
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(readFile(path("out")), header(path("s\xff.kr"), path("d\xe9/t\x80")) + "OK\n");
    EXPECT_EQ(readFile(path("d\xe9/t\x80")), plain);
#endif
}

TEST_F(Tool, AWriteThatRunsOutOfRoomReportsErrorAndKeepsTheFile)
{
    KORV_SKIP_ON_WINDOWS("RLIMIT_FSIZE");
#ifndef _WIN32
    const std::string crypted = qtCrypted(textContent(200000));
    writeFile(path("a.kr"), crypted);
    writeFile(path("out"), "");
    const int status = runWithFileSizeLimit(4096, [&] {
        execTool({ path("a.kr") }, ::open(path("out").c_str(), O_WRONLY));
        return 0;
    });
    EXPECT_EQ(status, 255);
    EXPECT_EQ(readFile(path("out")), header(path("a.kr"), path("a.kr")) + "ERROR\n");
    EXPECT_EQ(readFile(path("a.kr")), crypted);
    EXPECT_EQ(listDirectory(root()), (std::vector<std::string> { "a.kr", "out" }));
#endif
}

// Interrupted while it writes, the tool removes its unfinished file and ends
// by the signal; the target is the old or, if the signal came after the
// commit, the whole new content.
TEST_F(Tool, InterruptedDecryptRemovesItsUnfinishedFileAndEndsByTheSignal)
{
    KORV_SKIP_ON_WINDOWS("POSIX signals (Ctrl-C has its own test)");
#ifndef _WIN32
    const std::string plain = textContent(32 << 20);
    writeFile(path("f.kr"), qtCrypted(plain));
    for (const int signal : { SIGINT, SIGTERM, SIGHUP }) {
        writeFile(path("out"), "old");
        const int null = ::open("/dev/null", O_WRONLY);
        const pid_t pid = startTool({ path("f.kr"), path("out") }, null);
        ::close(null);
        ASSERT_GE(pid, 0);
        // Signalled as soon as its new file appears beside the target.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (listDirectory(root()).size() < 3 && std::chrono::steady_clock::now() < deadline)
            ::usleep(200);
        ::kill(pid, signal);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal << ": " << status;
        EXPECT_EQ(listDirectory(root()), (std::vector<std::string> { "f.kr", "out" })) << signal;
        const std::string now = readFile(path("out"));
        EXPECT_TRUE(now == "old" || now == plain) << signal << ": " << now.size() << " bytes";
    }
#endif
}
