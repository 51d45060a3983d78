// Windows only (Wine or Windows): the Win32 pieces of the platform layer
// against the real API.
#include "lasterror_win32.h"
#include "replace_win32.h"
#include "widepath_win32.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

using namespace korv::platform::win32;

namespace {

std::wstring tempDir()
{
    wchar_t buf[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, buf);
    std::wstring dir(buf, n);
    dir += L"korv-drafts-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

bool writeFile(const std::wstring& path, const std::string& data)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                    written == data.size() && FlushFileBuffers(h);
    CloseHandle(h);
    return ok;
}

std::string readFile(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "<missing>";
    char buf[256];
    DWORD got = 0;
    ReadFile(h, buf, sizeof buf, &got, nullptr);
    CloseHandle(h);
    return std::string(buf, got);
}

std::string narrow(const std::wstring& w) // test paths are ASCII
{
    return std::string(w.begin(), w.end());
}

} // namespace

TEST(WidePath, RelativeBecomesAbsoluteAndBadInputIsRefused)
{
    const std::wstring p = widePath("sub/../file.txt");
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    std::wstring expected = cwd;
    if (expected.back() != L'\\')
        expected += L'\\';
    EXPECT_EQ(p, expected + L"file.txt");

    EXPECT_TRUE(widePath(std::string("a\0b", 3)).empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_TRUE(widePath("").empty());
    EXPECT_EQ(widePath("\\\\?\\C:\\x"), L"\\\\?\\C:\\x");
}

TEST(WidePath, AnsiCodePageBytesAreNotUtf8)
{
    if (GetACP() != 1252)
        GTEST_SKIP() << "ANSI code page is " << GetACP() << ", not 1252";
    // 0xE9 is 'é' in code page 1252 and no valid UTF-8 at all.
    const std::wstring p = widePath("C:\\caf\xE9.txt");
    EXPECT_EQ(p, L"C:\\caf\u00E9.txt");
}

TEST(WidePath, PathsBeyondMaxPathWork)
{
    std::string dir = narrow(tempDir());
    const std::string part(60, 'd');
    for (int i = 0; i < 5; ++i) {
        dir += "\\" + part;
        const std::wstring w = widePath(dir);
        ASSERT_FALSE(w.empty());
        ASSERT_TRUE(CreateDirectoryW(w.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    }
    const std::string file = dir + "\\content.txt";
    ASSERT_GT(file.size(), static_cast<std::size_t>(MAX_PATH));
    const std::wstring w = widePath(file);
    EXPECT_EQ(w.rfind(L"\\\\?\\", 0), 0u);
    ASSERT_TRUE(writeFile(w, "deep"));
    EXPECT_EQ(readFile(w), "deep");
}

TEST(Replace, ReplacesCreatesAndLeavesTargetOnFailure)
{
    const std::wstring dir = tempDir();
    const std::wstring target = dir + L"\\target.txt";
    const std::wstring work = dir + L"\\work.tmp";
    DeleteFileW(target.c_str());

    // A new target.
    ASSERT_TRUE(writeFile(work, "first"));
    ASSERT_EQ(replaceFile(work, target), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(readFile(target), "first");
    EXPECT_EQ(GetFileAttributesW(work.c_str()), INVALID_FILE_ATTRIBUTES);

    // An existing one.
    ASSERT_TRUE(writeFile(work, "second"));
    ASSERT_EQ(replaceFile(work, target), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(readFile(target), "second");
    EXPECT_EQ(GetFileAttributesW(work.c_str()), INVALID_FILE_ATTRIBUTES);

    // No replacement: an error, and the target as it was.
    EXPECT_NE(replaceFile(work, target), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(readFile(target), "second");
}

TEST(LastError, FailuresOfRealCallsClassify)
{
    const std::wstring dir = tempDir();
    EXPECT_EQ(GetFileAttributesW((dir + L"\\no-such-file").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(errnoFromWin32(GetLastError()), ENOENT);
    // A regular file where a directory of the path should be.
    const std::wstring file = dir + L"\\plain";
    ASSERT_TRUE(writeFile(file, "x"));
    HANDLE h = CreateFileW((file + L"\\below").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(errnoFromWin32(GetLastError()), ENOENT);
    // A file another handle holds without sharing.
    HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(errnoFromWin32(GetLastError()), EACCES);
    CloseHandle(held);
}
