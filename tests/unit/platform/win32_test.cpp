// Windows only (Wine or Windows): the Win32 pieces of the platform layer
// against the real API.
#include "inputfile_p.h"
#include "lasterror_win32.h"
#include "outputfile_p.h"
#include "platform_p.h"
#include "replace_win32.h"
#include "testhooks_p.h"
#include "widepath_win32.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

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
    EXPECT_EQ(widePath("\\\\?\\C:\\x/y"), L"\\\\?\\C:\\x\\y");
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

TEST(PathFacts, OneLookAndTheOpenedSourceAgree)
{
    namespace kp = korv::platform;
    const std::wstring dir = tempDir();
    const std::wstring file = dir + L"\\facts.txt";
    const std::wstring other = dir + L"\\facts-link.txt";
    DeleteFileW(other.c_str());
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(writeFile(file, "facts"));

    kp::PathFacts look, opened;
    ASSERT_TRUE(kp::lookAt(narrow(file), look));
    EXPECT_TRUE(look.exists && look.regular && !look.directory && !look.link);
    EXPECT_EQ(look.links, 1u);
    EXPECT_FALSE(look.readOnly());
    kp::InputFile in;
    ASSERT_TRUE(in.open(narrow(file), opened));
    EXPECT_TRUE(in.isFile(look));
    EXPECT_EQ(opened.inode, look.inode);
    EXPECT_EQ(opened.device, look.device);
    in.close();

    // The read-only attribute, a second name and a directory, each as POSIX tells them.
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CreateHardLinkW(other.c_str(), file.c_str(), nullptr));
    ASSERT_TRUE(kp::lookAt(narrow(file), look));
    EXPECT_TRUE(look.readOnly());
    EXPECT_EQ(look.links, 2u);
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(kp::lookAt(narrow(dir), look));
    EXPECT_TRUE(look.exists && look.directory && !look.regular);
    EXPECT_FALSE(in.open(narrow(dir), opened));
    EXPECT_EQ(kp::lastError(), kp::kNotRegularFile);

    kp::clearLastError();
    EXPECT_FALSE(kp::lookAt(narrow(dir + L"\\missing"), look));
    EXPECT_FALSE(look.exists);
    EXPECT_EQ(kp::lastError(), ENOENT);
}

TEST(PathFacts, LinkIsRefusedByTheOpenThatReturnsFacts)
{
    namespace kp = korv::platform;
    const std::wstring dir = tempDir();
    const std::wstring file = dir + L"\\linked.txt";
    const std::wstring link = dir + L"\\symlink.txt";
    ASSERT_TRUE(writeFile(file, "behind"));
    DeleteFileW(link.c_str());
    // Wine 8's CreateSymbolicLinkW reports success and makes nothing.
    if (!CreateSymbolicLinkW(link.c_str(), file.c_str(), 0) || GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "no symbolic links here";
    kp::PathFacts look, opened;
    ASSERT_TRUE(kp::lookAt(narrow(link), look));
    EXPECT_TRUE(look.link && look.regular);
    kp::InputFile in;
    EXPECT_FALSE(in.open(narrow(link), opened));
    EXPECT_EQ(kp::lastError(), ELOOP);
    // The usual open follows it, to the file lookAt described.
    ASSERT_TRUE(in.open(narrow(link)));
    EXPECT_TRUE(in.isFile(look));
}

namespace {

std::vector<std::string> steps;
void recordStep(korv::platform::Step step, const std::string&, const std::string&)
{
    static const char* const names[] = { "create", "write", "sync", "rename", "syncdir" };
    steps.push_back(names[static_cast<int>(step)]);
}
bool skipAll(const std::string&)
{
    return true;
}

} // namespace

TEST(OutputFile, CommitCountsBytesAndReportsItsSteps)
{
    namespace kp = korv::platform;
    const std::wstring dir = tempDir();
    const std::wstring target = dir + L"\\durable.txt";
    ASSERT_TRUE(writeFile(target, "old content"));
    steps.clear();
    kp::stepHook = recordStep;

    kp::OutputFile out;
    ASSERT_TRUE(out.create(narrow(target)));
    ASSERT_TRUE(out.write("new", 3));
    ASSERT_TRUE(out.writeAt(1, "EW!", 3));
    EXPECT_EQ(out.size(), 4u);
    ASSERT_TRUE(out.commit(true));
    EXPECT_TRUE(out.renamed());
    EXPECT_TRUE(kp::syncDirectory(narrow(dir)));
    EXPECT_EQ(readFile(target), "nEW!");
    EXPECT_EQ(steps, (std::vector<std::string> { "create", "write", "sync", "rename", "syncdir" }));

    // A flush left out is not reported; a file with two names is written in place.
    steps.clear();
    kp::skipDataSync = skipAll;
    const std::wstring other = dir + L"\\durable-second-name.txt";
    DeleteFileW(other.c_str());
    ASSERT_TRUE(CreateHardLinkW(other.c_str(), target.c_str(), nullptr));
    kp::OutputFile twoNames;
    ASSERT_TRUE(twoNames.create(narrow(target)));
    ASSERT_TRUE(twoNames.write("both", 4));
    ASSERT_TRUE(twoNames.commit(true));
    EXPECT_FALSE(twoNames.renamed());
    EXPECT_EQ(readFile(other), "both");
    kp::OutputFile skipped;
    DeleteFileW(other.c_str());
    ASSERT_TRUE(skipped.create(narrow(target)));
    ASSERT_TRUE(skipped.commit(true));
    EXPECT_EQ(steps, (std::vector<std::string> { "create", "write", "rename" }));
    kp::skipDataSync = nullptr;
    kp::stepHook = nullptr;
}

TEST(OutputFile, AReplaceThatRemovedTheTargetKeepsTheNewContent)
{
    namespace kp = korv::platform;
    static std::string created;
    kp::stepHook = [](kp::Step step, const std::string& path, const std::string&) {
        if (step == kp::Step::Create)
            created = path;
    };
    kp::replaceLosesTarget = true;
    const std::wstring target = tempDir() + L"\\lost.txt";
    ASSERT_TRUE(writeFile(target, "old content"));
    {
        kp::OutputFile out; // its end discards what it did not commit
        ASSERT_TRUE(out.create(narrow(target)));
        ASSERT_TRUE(out.write("new", 3));
        EXPECT_FALSE(out.commit(true));
    }
    kp::replaceLosesTarget = false;
    kp::stepHook = nullptr;
    ASSERT_FALSE(created.empty());
    EXPECT_EQ(readFile(std::wstring(created.begin(), created.end())), "new");
}
