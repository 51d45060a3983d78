// Helpers shared by the tests.
#include "testutil.h"

#include <QByteArray>
#include <QDir>
#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>

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
    static const char* words[] = {"korv ", "data ", "file ", "crypted ", "plain\n", "0123 ", "zlib "};
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
    std::vector<std::string> names;
    for (const QString& name :
         QDir(QString::fromStdString(dir)).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        names.push_back(name.toStdString());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace korvtest
