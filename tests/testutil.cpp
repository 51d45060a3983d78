// Helpers shared by the tests.
#include "testutil.h"

#include <QByteArray>
#include <QDir>
#include <algorithm>
#include <cctype>
#include <fstream>
#include <random>
#include <sstream>
#include <dirent.h>

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

void setTempDirectory(const std::string& dir)
{
    for (const char* name : kTempDirVariables)
        qputenv(name, QByteArray::fromStdString(dir));
}

void WorkingCopyTest::SetUp()
{
    _tmp = path("tmp");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(_tmp)));
    for (const char* name : kTempDirVariables) {
        _oldTmpDirs.emplace_back(qgetenv(name), qEnvironmentVariableIsSet(name));
    }
    setTempDirectory(_tmp);
}

void WorkingCopyTest::TearDown()
{
    for (std::size_t i = 0; i < _oldTmpDirs.size(); ++i) {
        if (_oldTmpDirs[i].second)
            qputenv(kTempDirVariables[i], _oldTmpDirs[i].first);
        else
            qunsetenv(kTempDirVariables[i]);
    }
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
