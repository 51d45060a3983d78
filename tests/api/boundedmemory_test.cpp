// Files far larger than the memory a process may use: decrypts from sources
// that cannot be leased decode as they read, and every whole-file operation
// runs under a memory cgroup several times smaller than its file.
#include "CFileSystem.h"
#include "KFsCryptedFile.h"
#include "testutil.h"

#include <QTemporaryDir>

#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

using namespace korvtest;

namespace {

constexpr std::size_t kChunk = 1 << 20;

// An open file a test writes to: while it is open nobody gets a read lease
// on the file, so a decrypt of it must read it without one.
class Writer {
public:
    explicit Writer(const std::string& path)
        : _fd(::open(path.c_str(), O_WRONLY))
    {
    }
    ~Writer()
    {
        if (_fd >= 0)
            ::close(_fd);
    }
    bool ok() const { return _fd >= 0; }

private:
    int _fd;
};

// True when both files hold the same bytes; read a chunk at a time.
bool sameContent(const std::string& a, const std::string& b)
{
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::unique_ptr<char[]> ba(new char[kChunk]), bb(new char[kChunk]);
    while (fa && fb) {
        fa.read(ba.get(), kChunk);
        fb.read(bb.get(), kChunk);
        if (fa.gcount() != fb.gcount() || std::memcmp(ba.get(), bb.get(), std::size_t(fa.gcount())) != 0)
            return false;
    }
    return fa.eof() && fb.eof();
}

// Writes size bytes of noise to plain and its crypted form to crypted, the
// zlib stream in stored blocks: a crypted file as large as its content,
// made at the speed of a copy.
void writeLargePair(const std::string& plain, const std::string& crypted, std::uint64_t size)
{
    std::ofstream p(plain, std::ios::binary), c(crypted, std::ios::binary);
    const char header[] = { 'k', 'r', char(size >> 24), char(size >> 16), char(size >> 8), char(size) };
    c.write(header, sizeof header);
    z_stream z {};
    ASSERT_EQ(deflateInit(&z, 0), Z_OK);
    std::string in(kChunk, '\0'), out(2 * kChunk, '\0');
    std::uint64_t state = 88172645463325252ull;
    for (std::uint64_t left = size; left > 0;) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(left, kChunk));
        for (std::size_t i = 0; i + 8 <= n; i += 8) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            std::memcpy(&in[i], &state, 8);
        }
        left -= n;
        p.write(in.data(), std::streamsize(n));
        z.next_in = reinterpret_cast<Bytef*>(in.data());
        z.avail_in = uInt(n);
        do {
            z.next_out = reinterpret_cast<Bytef*>(out.data());
            z.avail_out = uInt(out.size());
            deflate(&z, left == 0 ? Z_FINISH : Z_NO_FLUSH);
            c.write(out.data(), std::streamsize(out.size() - z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    ASSERT_TRUE(p.good() && c.good());
}

bool writeText(const std::string& path, const std::string& text)
{
    std::ofstream f(path);
    f << text;
    f.close();
    return f.good();
}

std::string readText(const std::string& path)
{
    std::ifstream f(path);
    std::string text;
    std::getline(f, text);
    return text;
}

// A memory cgroup (v1 memory.limit_in_bytes or v2 memory.max) below the one
// this process runs in, for children that run under its limit.
class MemoryCgroup {
public:
    explicit MemoryCgroup(std::uint64_t limit)
    {
        std::ifstream self("/proc/self/cgroup");
        std::string line, v1, v2;
        while (std::getline(self, line)) {
            if (line.compare(0, 2, "0:") == 0)
                v2 = line.substr(line.find(':', 2) + 1);
            const auto at = line.find(":memory:");
            if (at != std::string::npos)
                v1 = line.substr(at + 8);
        }
        const std::string name = "/korv-test-" + std::to_string(::getpid());
        if (!v1.empty() && ::access("/sys/fs/cgroup/memory", W_OK) == 0) {
            _dir = "/sys/fs/cgroup/memory" + (v1 == "/" ? "" : v1) + name;
            _limitFile = "memory.limit_in_bytes";
        } else if (!v2.empty() && ::access("/sys/fs/cgroup/cgroup.controllers", R_OK) == 0) {
            const std::string parent = "/sys/fs/cgroup" + (v2 == "/" ? "" : v2);
            writeText(parent + "/cgroup.subtree_control", "+memory");
            _dir = parent + name;
            _limitFile = "memory.max";
        } else {
            _why = "no memory cgroup hierarchy here";
            return;
        }
        if (::mkdir(_dir.c_str(), 0755) != 0) {
            _why = "cannot create " + _dir + ": " + std::strerror(errno);
            _dir.clear();
            return;
        }
        if (!writeText(_dir + "/" + _limitFile, std::to_string(limit))
            || std::stoull("0" + readText(_dir + "/" + _limitFile)) != limit)
            _why = "cannot set " + _dir + "/" + _limitFile;
    }
    ~MemoryCgroup()
    {
        if (!_dir.empty())
            ::rmdir(_dir.c_str());
    }
    // Empty when the cgroup is ready; else why not.
    const std::string& why() const { return _why; }

    // Runs body in a child process inside the cgroup: its exit status, or
    // 128 + the signal that ended it (SIGKILL from the OOM killer).
    int run(const std::function<int()>& body) const
    {
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(writeText(_dir + "/cgroup.procs", std::to_string(::getpid())) ? body() : 99);
        int status = 0;
        if (child < 0 || ::waitpid(child, &status, 0) != child)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    std::string _dir;
    std::string _limitFile;
    std::string _why;
};

bool onTmpfs(const std::string& dir)
{
    struct statfs st;
    return ::statfs(dir.c_str(), &st) != 0 || st.f_type == TMPFS_MAGIC;
}

} // namespace

class BoundedMemory : public WorkingCopyTest { };

// A source that cannot be leased is decoded as it is read: whole content,
// and damage found where it is, as from memory.
TEST_F(BoundedMemory, SourcesWithoutALeaseDecodeAsTheyAreRead)
{
    const std::string plain = noiseContent(3 << 20, 9);
    const std::string good = qtCrypted(plain);
    writeFile(path("good.kr"), good);
    std::string damaged = good;
    damaged[good.size() / 2] ^= 0x10;
    writeFile(path("damaged.kr"), damaged);
    writeFile(path("short.kr"), good.substr(0, good.size() - 1000));
    Writer w1(path("good.kr")), w2(path("damaged.kr")), w3(path("short.kr"));
    ASSERT_TRUE(w1.ok() && w2.ok() && w3.ok());

    KFsError error;
    bool crypted = false;
    EXPECT_TRUE(KFsCryptedFile::decrypt(path("good.kr"), path("out"), &crypted, &error));
    EXPECT_TRUE(crypted);
    EXPECT_TRUE(readFile(path("out")) == plain);
    {
        KFsCryptedFile handle(path("good.kr"), KFsRead);
        EXPECT_TRUE(readFile(handle.getDecryptedFilePath()) == plain);
    }

    // Noise is stored, not compressed: only the Adler-32 at the end finds it.
    EXPECT_FALSE(KFsCryptedFile::decrypt(path("damaged.kr"), path("out"), &crypted, &error));
    EXPECT_EQ(error.code, KFsErrorCode::Corrupt);
    EXPECT_TRUE(error.message.contains("Adler-32")) << error.message.toStdString();
    EXPECT_FALSE(KFsCryptedFile::decrypt(path("short.kr"), path("out"), &crypted, &error));
    EXPECT_EQ(error.code, KFsErrorCode::Corrupt);
    EXPECT_EQ(error.offset, qint64(good.size() - 1000));
    EXPECT_TRUE(readFile(path("out")) == plain);
    EXPECT_TRUE(KFsCryptedFile(path("short.kr"), KFsRead).getDecryptedFilePath().empty());
    EXPECT_TRUE(workingCopies().empty());
}

// Each whole-file operation on a file five times the memory its process may
// use: none may need memory in proportion to the file (the kernel would end
// the child with SIGKILL).
TEST_F(BoundedMemory, EveryOperationRunsUnderAMemoryLimitFarBelowTheFileSize)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's shadow memory and quarantine are no measure of ours.
    GTEST_SKIP() << "memory limits are not measured under a sanitizer";
#endif
    constexpr std::uint64_t kLimit = 64 << 20;
    constexpr std::uint64_t kSize = 5 * kLimit;
    const MemoryCgroup cgroup(kLimit);
    if (!cgroup.why().empty())
        GTEST_SKIP() << "no memory cgroup: " << cgroup.why();
    // The limit must hold, or the test proves nothing.
    const int greedy = cgroup.run([] {
        std::unique_ptr<char[]> p(new (std::nothrow) char[2 * kLimit]);
        volatile char* touch = p.get();
        for (std::uint64_t i = 0; touch && i < 2 * kLimit; i += 4096)
            touch[i] = 1;
        return 0;
    });
    if (greedy != 128 + SIGKILL)
        GTEST_SKIP() << "the memory cgroup's limit is not enforced here";
    // Pages of a file on tmpfs are memory and count against the limit.
    std::unique_ptr<QTemporaryDir> elsewhere;
    std::string dir = root();
    if (onTmpfs(dir)) {
        elsewhere = std::make_unique<QTemporaryDir>(QStringLiteral("/var/tmp/korv-XXXXXX"));
        dir = elsewhere->path().toStdString();
        if (!elsewhere->isValid() || onTmpfs(dir))
            GTEST_SKIP() << "no disk-backed directory for the large files";
    }
    const std::string plain = dir + "/plain", crypted = dir + "/crypted.kr";
    writeLargePair(plain, crypted, kSize);
    qputenv("TMPDIR", QByteArray::fromStdString(dir));

    const auto decryptTo = [&](const std::string& target) {
        return [&, target] { return KFsCryptedFile::decrypt(crypted, target) ? 0 : 1; };
    };
    EXPECT_EQ(cgroup.run(decryptTo(dir + "/by-owner")), 0) << "decrypt under a lease";
    EXPECT_TRUE(sameContent(dir + "/by-owner", plain));
    {
        Writer noLease(crypted);
        ASSERT_TRUE(noLease.ok());
        EXPECT_EQ(cgroup.run(decryptTo(dir + "/no-lease")), 0) << "decrypt without a lease";
        EXPECT_EQ(cgroup.run([&] {
            KFsCryptedFile handle(crypted, KFsRead);
            return sameContent(handle.getDecryptedFilePath(), plain) ? 0 : 1;
        }),
            0)
            << "read handle without a lease";
    }
    EXPECT_TRUE(sameContent(dir + "/no-lease", plain));

    const QString file = QString::fromStdString(plain);
    EXPECT_EQ(cgroup.run([&] { return CFileSystem::addCheckSum(file, nullptr) ? 0 : 1; }), 0)
        << "addCheckSum";
    struct stat st;
    EXPECT_EQ(::stat(plain.c_str(), &st) == 0 ? std::uint64_t(st.st_size) : 0, kSize + 2);
    EXPECT_EQ(cgroup.run([&] { return CFileSystem::removeCheckSum(file) ? 0 : 1; }), 0) << "removeCheckSum";
    EXPECT_TRUE(sameContent(dir + "/by-owner", plain));
    for (const char* name : { "/plain", "/crypted.kr", "/by-owner", "/no-lease" })
        ::unlink((dir + name).c_str());
}
