// Decoding into the output file, straight into its mapped pages or (small
// content) through memory: stored lengths that are wrong, sizes around the
// thresholds and the steps in which a mapping is faulted in, mappings filled
// in part or dropped, and a file size limit.
#include "KFsCryptedFile.h"
#include "cryptedformat_p.h"
#include "platform_p.h"
#include "outputfile_p.h"
#include "testutil.h"

#include <csignal>
#include <cstring>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace korv;
using namespace korvtest;

using Names = std::vector<std::string>;

// Large enough to be mapped and faulted in over several steps.
constexpr std::size_t kLarge = 8 * platform::kPrefaultStep;

class MappedOutput : public TempDirTest {
protected:
    // Decrypts src.kr to out through the library; the content must be plain.
    void expectDecryptsTo(const std::string& plain, const std::string& what)
    {
        writeFile(path("out"), "old");
        bool crypted = false;
        ASSERT_TRUE(KFsCryptedFile::decrypt(path("src.kr"), path("out"), &crypted)) << what;
        EXPECT_TRUE(crypted) << what;
        // Compared as a bool: a failure would print megabytes otherwise.
        EXPECT_TRUE(readFile(path("out")) == plain) << what;
        EXPECT_EQ(listDirectory(root()), (Names { "out", "src.kr" })) << what;
    }
};

TEST_F(MappedOutput, AnyStoredLengthGivesTheExactContent)
{
    // Decoded through memory, and mapped.
    for (std::size_t size : { format::kDecodeInMemoryBelow / 2, kLarge + 12345 }) {
        const std::string plain = textContent(size);
        const std::string good = qtCrypted(plain);
        const auto n = std::uint32_t(plain.size());
        for (std::uint32_t length : { n, n - 1, n + 1, n / 2, n + std::uint32_t(platform::kPrefaultStep),
                 n * 8, 0xFFFFFFFFu, 0u, 1u }) {
            writeFile(path("src.kr"), withStoredLength(good, length));
            expectDecryptsTo(
                plain, "size " + std::to_string(size) + ", stored length " + std::to_string(length));
        }
    }
}

TEST_F(MappedOutput, LargeDamagedContentFailsAndLeavesTheTarget)
{
    const std::string good = qtCrypted(textContent(kLarge));
    std::string badChecksum = good, damagedLate = good;
    badChecksum.back() ^= 1;
    damagedLate[good.size() * 3 / 4] ^= 0x10;
    for (const std::string& bytes : { badChecksum, damagedLate }) {
        writeFile(path("src.kr"), bytes);
        writeFile(path("out"), "precious");
        EXPECT_FALSE(KFsCryptedFile::decrypt(path("src.kr"), path("out")));
        EXPECT_EQ(readFile(path("out")), "precious");
        EXPECT_EQ(listDirectory(root()), (Names { "out", "src.kr" }));
    }
}

TEST_F(MappedOutput, OutputsAroundTheThresholdsAndStepsAreExact)
{
    // Noise crypts to a little more than its size, so around the first
    // threshold both the source and the content cross it.
    const std::size_t memory = format::kDecodeInMemoryBelow;
    for (std::size_t size : { memory - 100, memory - 1, memory, memory + 1 }) {
        const std::string plain = noiseContent(size, unsigned(size));
        writeFile(path("src.kr"), qtCrypted(plain));
        expectDecryptsTo(plain, "noise size " + std::to_string(size));
    }
    const std::size_t step = platform::kPrefaultStep;
    for (std::size_t size : { step - 1, step, step + 1, kLarge + step + 1 }) {
        const std::string plain = textContent(size, unsigned(size));
        writeFile(path("plain"), plain);
        ASSERT_TRUE(KFsCryptedFile::crypt(path("src.kr"), path("plain")));
        ::unlink(path("plain").c_str());
        EXPECT_TRUE(readFile(path("src.kr")) == qtCrypted(plain)) << size;
        expectDecryptsTo(plain, "size " + std::to_string(size));
    }
}

TEST_F(MappedOutput, WritesDuringFaultInAreKeptAndDroppedMappingsLeaveNothing)
{
    const std::size_t big = kLarge * 4;
    {
        // Filled in part: only what was used is kept.
        platform::OutputFile out;
        ASSERT_TRUE(out.create(path("kept")));
        const std::size_t used = kLarge + 3;
        std::uint8_t* p = out.map(big);
        ASSERT_NE(p, nullptr);
        std::memset(p, 'k', used);
        ASSERT_TRUE(out.unmap(used));
        ASSERT_TRUE(out.commit(false));
        EXPECT_TRUE(readFile(path("kept")) == std::string(used, 'k'));
    }
    {
        platform::OutputFile out;
        ASSERT_TRUE(out.create(path("reset")));
        ASSERT_NE(out.map(big), nullptr);
        ASSERT_TRUE(out.reset());
        ASSERT_TRUE(out.write("abc", 3));
        ASSERT_TRUE(out.commit(false));
        EXPECT_EQ(readFile(path("reset")), "abc");
    }
    {
        platform::OutputFile out;
        ASSERT_TRUE(out.create(path("dropped")));
        std::uint8_t* p = out.map(big);
        ASSERT_NE(p, nullptr);
        p[0] = 'x';
    }
    EXPECT_EQ(listDirectory(root()), (Names { "kept", "reset" }));
}

TEST_F(MappedOutput, FileSizeLimitFailsCleanlyInsteadOfRaisingASignal)
{
    KORV_SKIP_ON_WINDOWS("RLIMIT_FSIZE in a forked child");
#ifndef _WIN32
    const std::string plain = textContent(kLarge + 1);
    writeFile(path("src.kr"), qtCrypted(plain));
    writeFile(path("out"), "precious");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The output cannot be sized, nor written by the fallback.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit { 1 << 20, 1 << 20 };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(KFsCryptedFile::decrypt(path("src.kr"), path("out")) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "decrypt reported success";
    EXPECT_EQ(readFile(path("out")), "precious");
    EXPECT_EQ(listDirectory(root()), (Names { "out", "src.kr" }));
#endif
}
