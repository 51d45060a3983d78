// Helpers shared by the tests.
#include "testutil.h"

#include <QByteArray>
#include <QDir>
#include <algorithm>
#include <cctype>
#include <fstream>
#include <random>
#include <sstream>
#include <csignal>
#include <dirent.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvtest {

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

bool fileExists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

unsigned permissions(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : ~0u;
}

void setPermissions(const std::string& path, unsigned mode)
{
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

std::string fromHex(const std::string& hex)
{
    return QByteArray::fromHex(QByteArray::fromStdString(hex)).toStdString();
}

std::string toHex(const std::string& bytes)
{
    return QByteArray::fromStdString(bytes).toHex().toStdString();
}

std::string qtCrypted(const std::string& plain)
{
    return "kr" + qCompress(QByteArray::fromStdString(plain)).toStdString();
}

std::string withStoredLength(std::string crypted, std::uint32_t length)
{
    crypted[2] = char(length >> 24);
    crypted[3] = char(length >> 16);
    crypted[4] = char(length >> 8);
    crypted[5] = char(length);
    return crypted;
}

std::string textContent(std::size_t n, unsigned seed)
{
    static const char* words[] = { "korv ", "data ", "file ", "crypted ", "plain\n", "0123 ", "zlib " };
    std::mt19937 random(seed);
    std::string s;
    while (s.size() < n)
        s += words[random() % 7];
    s.resize(n);
    return s;
}

std::string noiseContent(std::size_t n, unsigned seed)
{
    std::mt19937 random(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(random());
    return s;
}

int runWithFileSizeLimit(std::uint64_t limit, const std::function<int()>& body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit rl { limit, limit };
        ::_exit(::setrlimit(RLIMIT_FSIZE, &rl) == 0 ? body() : 99);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::vector<std::string> listDirectory(const std::string& dir)
{
    // Names as bytes: a test may create names that are not UTF-8.
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool isTemporaryNameOf(const std::string& name, const std::string& target)
{
    const std::string prefix = "." + target + ".korv-";
    if (name.size() != prefix.size() + 10 || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(name.begin() + prefix.size(), name.end(),
        [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

void removeTree(const std::string& path)
{
    ::nftw(
        path.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p), 0; }, 64,
        FTW_DEPTH | FTW_PHYS);
}

void WorkingCopyTest::SetUp()
{
    _tmp = path("tmp");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(_tmp)));
    _hadTmpDir = qEnvironmentVariableIsSet("TMPDIR");
    _oldTmpDir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QByteArray::fromStdString(_tmp));
}

void WorkingCopyTest::TearDown()
{
    if (_hadTmpDir)
        qputenv("TMPDIR", _oldTmpDir);
    else
        qunsetenv("TMPDIR");
}

std::vector<std::string> WorkingCopyTest::workingCopies() const
{
    std::vector<std::string> copies;
    for (const std::string& name : listDirectory(_tmp))
        if (name.compare(0, 3, "kr2") == 0)
            copies.push_back(_tmp + "/" + name);
    return copies;
}

} // namespace korvtest
