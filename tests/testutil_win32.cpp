// The test helpers on Windows: the read-only attribute stands for the mode,
// names are in the ANSI code page as the library takes them.
#include "testutil.h"
#include "windows_testutil.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QString>
#include <windows.h>

namespace korvtest {

const std::vector<const char*> kTempDirVariables { "TMP", "TEMP" };

namespace {

std::wstring wide(const std::string& path)
{
    return QString::fromLocal8Bit(path).toStdWString();
}

} // namespace

bool fileExists(const std::string& path)
{
    return ::GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

unsigned permissions(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesW(wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ~0u;
    return attributes & FILE_ATTRIBUTE_READONLY ? 0444u : 0666u;
}

void setPermissions(const std::string& path, unsigned mode)
{
    const std::wstring name = wide(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << path;
    const DWORD readOnly = mode & 0200 ? 0 : FILE_ATTRIBUTE_READONLY;
    ASSERT_TRUE(::SetFileAttributesW(name.c_str(), (attributes & ~FILE_ATTRIBUTE_READONLY) | readOnly)) << path;
}

std::string withLfLineEnds(std::string text)
{
    std::string::size_type at = 0;
    while ((at = text.find("\r\n", at)) != std::string::npos)
        text.erase(at, 1);
    return text;
}

unsigned shownMode(unsigned posixMode)
{
    return posixMode & 0200 ? 0666u : 0444u;
}

const char* const kTextNewline = "\r\n";

bool deleteFile(const std::string& path)
{
    // Qt reaches beyond MAX_PATH (\\?\), msvcrt's unlink does not.
    return QFile::remove(QString::fromLocal8Bit(path));
}

bool renameOver(const std::string& from, const std::string& to)
{
    return ::MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool makeDirectory(const std::string& path)
{
    return ::CreateDirectoryW(wide(path).c_str(), nullptr);
}

bool makeHardLink(const std::string& existing, const std::string& link)
{
    return ::CreateHardLinkW(wide(link).c_str(), wide(existing).c_str(), nullptr);
}

bool makeSymlink(const std::string&, const std::string&)
{
    ADD_FAILURE() << "symlinks need privileges on Windows: skip this test there";
    return false;
}

int runWithFileSizeLimit(std::uint64_t, const std::function<int()>&)
{
    ADD_FAILURE() << "no file size limit on Windows: skip this test there";
    return -1;
}

void removeTree(const std::string& path)
{
    // Read-only files first, which DeleteFileW refuses.
    const QString root = QString::fromLocal8Bit(path);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const std::wstring name = it.next().toStdWString();
        ::SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    QDir(root).removeRecursively();
}

} // namespace korvtest

namespace korvtest::windows {

std::wstring wide(const std::string& path)
{
    std::wstring w(path.size() + 1, L'\0');
    w.resize(MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, w.data(), int(w.size())) - 1);
    return w.size() >= MAX_PATH - 12 ? L"\\\\?\\" + w : w;
}

bool put(const std::string& path, const std::string& bytes)
{
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n = 0;
    const bool ok = h != INVALID_HANDLE_VALUE && WriteFile(h, bytes.data(), DWORD(bytes.size()), &n, nullptr);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return ok && n == bytes.size();
}

std::string get(const std::string& path)
{
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string s(1 << 16, '\0');
    DWORD n = 0;
    ReadFile(h, s.data(), DWORD(s.size()), &n, nullptr);
    CloseHandle(h);
    s.resize(n);
    return s;
}

void FolderTest::SetUp()
{
    char buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof buffer, buffer);
    _dir = std::string(buffer, n) + "korv-win-" + std::to_string(GetCurrentProcessId()) + "-"
        + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    CreateDirectoryA(_dir.c_str(), nullptr);
}

} // namespace korvtest::windows
