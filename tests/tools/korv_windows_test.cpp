// Windows only: korv's walk, console and standard output there, run as a
// user runs the tool.
#include "sysinfo.h"
#include "testutil.h"
#include "windows_testutil.h"

#include <string>

using namespace korvtest::windows;
using korvtest::qtCrypted;

namespace {

const std::string kPlain = "line one\nline two\r\nno end";

// A console handler (stdcall, which a lambda is not on 32-bit Windows).
BOOL WINAPI letCtrlCPass(DWORD)
{
    return TRUE;
}

class KorvWindows : public FolderTest {
protected:
    // Runs korv.exe (beside this program) with `args`; its stdout and
    // stderr land in files. Returns the exit code.
    DWORD korv(const std::string& args) { return finish(start(L"korv.exe", args)); }

    // Starts a program that stands beside this one; see finish().
    PROCESS_INFORMATION start(const std::wstring& program, const std::string& args, DWORD flags = 0)
    {
        wchar_t self[MAX_PATH];
        std::wstring exe(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
        exe = exe.substr(0, exe.find_last_of(L"\\/") + 1) + program;
        SECURITY_ATTRIBUTES inherit { sizeof inherit, nullptr, TRUE };
        const auto create = [&](const std::string& name) {
            return CreateFileA(path(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        };
        _out = create("stdout");
        _err = create("stderr");
        STARTUPINFOW si {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = INVALID_HANDLE_VALUE;
        si.hStdOutput = _out;
        si.hStdError = _err;
        std::wstring line = L"\"" + exe + L"\" " + wide(args);
        PROCESS_INFORMATION pi {};
        if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &si, &pi))
            pi.hProcess = pi.hThread = nullptr;
        return pi;
    }

    // Waits for a started program; its output goes to _stdout and _stderr.
    // Returns the exit code (999 when it did not start or end).
    DWORD finish(const PROCESS_INFORMATION& pi)
    {
        DWORD code = 999;
        if (pi.hProcess) {
            WaitForSingleObject(pi.hProcess, 60000);
            GetExitCodeProcess(pi.hProcess, &code);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        CloseHandle(_out);
        CloseHandle(_err);
        _stdout = get(path("stdout"));
        _stderr = get(path("stderr"));
        return code;
    }

    HANDLE _out = INVALID_HANDLE_VALUE, _err = INVALID_HANDLE_VALUE;
    std::string _stdout, _stderr;
};

} // namespace

TEST_F(KorvWindows, WalkFindsAnsiAndLongNamesAndLeavesReparsePointsAlone)
{
    const std::string tree = path("tree");
    std::string deep = tree;
    CreateDirectoryA(tree.c_str(), nullptr);
    for (int i = 0; i < 5; ++i) {
        deep += "\\" + std::string(50, char('a' + i));
        ASSERT_TRUE(CreateDirectoryW(wide(deep).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    }
    deep += "\\deep.kr";
    ASSERT_GT(deep.size(), std::size_t(MAX_PATH));
    ASSERT_TRUE(put(deep, qtCrypted(kPlain)));
    // 0xE9 is an e with an acute accent in code page 1252, and no UTF-8.
    const bool ansi = GetACP() == 1252;
    const std::string accented = tree + (ansi ? "\\caf\xE9.kr" : "\\cafe.kr");
    ASSERT_TRUE(put(accented, qtCrypted(kPlain)));
    // A directory reached through a link is not the tree's to change.
    const std::string outside = path("outside");
    CreateDirectoryA(outside.c_str(), nullptr);
    ASSERT_TRUE(put(outside + "\\o.kr", qtCrypted(kPlain)));
    // (Wine 8 says it made the link and makes none.)
    const std::wstring link = wide(tree + "\\link");
    CreateSymbolicLinkW(link.c_str(), wide(outside).c_str(),
        SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD linkAttributes = GetFileAttributesW(link.c_str());
    const bool linked
        = linkAttributes != INVALID_FILE_ATTRIBUTES && (linkAttributes & FILE_ATTRIBUTE_REPARSE_POINT);

    EXPECT_EQ(korv("decrypt -r -j 2 \"" + tree + "\""), 0u) << _stderr;
    EXPECT_EQ(get(deep), kPlain);
    EXPECT_EQ(get(accented), kPlain);
    if (ansi) {
        EXPECT_NE(GetFileAttributesW((wide(tree) + L"\\caf\u00E9.kr").c_str()), INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_EQ(get(outside + "\\o.kr"), qtCrypted(kPlain));
    if (linked) {
        EXPECT_NE(_stderr.find("link, skipped"), std::string::npos) << _stderr;
    }
    // Files are no terminal: no progress line.
    EXPECT_EQ(_stderr.find('\r'), std::string::npos) << _stderr;
}

TEST_F(KorvWindows, WalkOfATreeNamedWithTheLongPathPrefix)
{
    // The walk joins names with '/', which a \\?\ path takes literally.
    const std::string tree = path("tree");
    CreateDirectoryA(tree.c_str(), nullptr);
    CreateDirectoryA((tree + "\\sub").c_str(), nullptr);
    ASSERT_TRUE(put(tree + "\\sub\\s.kr", qtCrypted(kPlain)));
    EXPECT_EQ(korv("decrypt -r \"\\\\?\\" + tree + "\""), 0u) << _stderr;
    EXPECT_EQ(get(tree + "\\sub\\s.kr"), kPlain);
}

TEST_F(KorvWindows, CatWritesBytesUnchanged)
{
    const std::string file = path("c.kr");
    ASSERT_TRUE(put(file, qtCrypted(kPlain)));
    EXPECT_EQ(korv("cat \"" + file + "\""), 0u) << _stderr;
    EXPECT_EQ(_stdout, kPlain);
}

TEST_F(KorvWindows, ReadOnlyFileIsReplacedAndLeftWritable)
{
    // As a mode 0444 file is on POSIX.
    const std::string file = path("ro.kr");
    ASSERT_TRUE(put(file, qtCrypted(kPlain)));
    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(korv("decrypt \"" + file + "\""), 0u) << _stderr;
    EXPECT_EQ(get(file), kPlain);
    const DWORD attributes = GetFileAttributesA(file.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(attributes & FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(KorvWindowsConsole, OnlyAConsoleIsATerminal)
{
    // The NUL device is a character device, which isatty() calls a terminal.
    const HANDLE saved = GetStdHandle(STD_ERROR_HANDLE);
    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(nul, INVALID_HANDLE_VALUE);
    SetStdHandle(STD_ERROR_HANDLE, nul);
    EXPECT_FALSE(korv::stderrIsTerminal());
    SetStdHandle(STD_ERROR_HANDLE, saved);
    CloseHandle(nul);
}

TEST_F(KorvWindows, CtrlCStopsALongDecryptAndItsUnfinishedFileGoes)
{
    const std::string source = path("big.kr"), target = path("big.txt");
    ASSERT_TRUE(put(source, qtCrypted(std::string(std::size_t(300) << 20, 'x'))));
    // A console of our own to send Ctrl-C through (see consolecancel_test),
    // which this process takes and lets pass.
    FreeConsole();
    AllocConsole();
    SetConsoleCtrlHandler(letCtrlCPass, TRUE);
    const PROCESS_INFORMATION pi = start(L"KorvDecrypt.exe", source + " " + target);
    ASSERT_NE(pi.hProcess, nullptr);
    // Caught mid-way: once its new file stands beside the target.
    const std::wstring pattern = wide(path(".big.txt.korv-*"));
    WIN32_FIND_DATAW found;
    bool started = false;
    for (int i = 0; i < 30000 && !started && WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT; ++i) {
        HANDLE search = FindFirstFileW(pattern.c_str(), &found);
        started = search != INVALID_HANDLE_VALUE;
        if (started)
            FindClose(search);
        else
            Sleep(1);
    }
    if (!started || !GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        const DWORD error = GetLastError();
        const DWORD code = finish(pi);
        GTEST_SKIP() << "could not interrupt KorvDecrypt mid-way here (" << (started ? "event" : "no new file") << ", error " << error << ", exit " << code << " " << _stdout << _stderr << ")";
    }
    EXPECT_EQ(finish(pi), 0xC000013Au) << _stdout << _stderr;
    EXPECT_EQ(get(target), "<missing>");
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "an unfinished file was left";
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
}
