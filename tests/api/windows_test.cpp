// Windows only: what replacing a file must keep or refuse there.
#include <KFsCryptedFile.h>

#include "testutil.h"
#include "windows_testutil.h"

#include <sddl.h>

#include <string>

using namespace korvtest::windows;
using korvtest::qtCrypted;

namespace {

const std::string kPlain = "plain content, written through the library\n";

class WindowsTargets : public FolderTest { };

} // namespace

TEST_F(WindowsTargets, AlternateStreamAndReadOnlyAttribute)
{
    const std::string target = path("t.kr");
    ASSERT_TRUE(put(target, qtCrypted(kPlain)));
    ASSERT_TRUE(put(target + ":note", "kept"));
    ASSERT_TRUE(KFsCryptedFile::decrypt(target, target));
    EXPECT_EQ(get(target), kPlain);
    // ReplaceFileW gives the new file the old one's streams.
    EXPECT_EQ(get(target + ":note"), "kept");

    // A read-only target is replaced as a mode 0444 file is on POSIX.
    const std::string locked = path("ro.kr");
    ASSERT_TRUE(put(locked, qtCrypted(kPlain)));
    ASSERT_TRUE(SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(KFsCryptedFile::decrypt(locked, locked));
    EXPECT_EQ(get(locked), kPlain);
    SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(WindowsTargets, AnAccessControlListIsKept)
{
    // Protected (nothing inherited): SYSTEM may do anything, everyone read.
    const std::wstring dacl = L"D:P(A;;FA;;;SY)(A;;FR;;;WD)";
    const std::string target = path("acl.kr");
    ASSERT_TRUE(put(target, qtCrypted(kPlain)));
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(dacl.c_str(), SDDL_REVISION_1, &sd, nullptr));
    ASSERT_TRUE(SetFileSecurityW(wide(target).c_str(), DACL_SECURITY_INFORMATION, sd));
    LocalFree(sd);
    const auto daclOf = [](const std::string& file) {
        DWORD n = 0;
        GetFileSecurityW(wide(file).c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &n);
        std::string buffer(n, '\0');
        wchar_t* text = nullptr;
        std::wstring result;
        if (n && GetFileSecurityW(wide(file).c_str(), DACL_SECURITY_INFORMATION, buffer.data(), n, &n)
            && ConvertSecurityDescriptorToStringSecurityDescriptorW(
                buffer.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
            result = text;
            LocalFree(text);
        }
        return result;
    };
    const std::wstring before = daclOf(target);
    ASSERT_FALSE(before.empty());
    ASSERT_TRUE(KFsCryptedFile::decrypt(target, target));
    EXPECT_EQ(get(target), kPlain);
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") && daclOf(target) != before)
        GTEST_SKIP() << "Wine's ReplaceFileW does not carry the access control list over";
    EXPECT_TRUE(daclOf(target) == before);
}

TEST_F(WindowsTargets, TargetHeldOpenByAnotherHandle)
{
    const std::string source = path("s.kr"), target = path("held.txt");
    ASSERT_TRUE(put(source, qtCrypted(kPlain)));
    ASSERT_TRUE(put(target, "old"));
    // Another process's reader that lets others replace the file.
    HANDLE reader = CreateFileW(wide(target).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    const bool replaced = KFsCryptedFile::decrypt(source, target);
    char old[8] = {};
    DWORD n = 0;
    ReadFile(reader, old, sizeof old, &n, nullptr);
    CloseHandle(reader);
    // Either the new content took the name whole, or the old one stayed:
    // never a mix, and the reader kept what it had open.
    EXPECT_EQ(get(target), replaced ? kPlain : "old");
    EXPECT_EQ(std::string(old, n), "old");

    // A holder that shares nothing: the decrypt fails, the target stays.
    HANDLE exclusive = CreateFileW(wide(target).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(put(source, qtCrypted("newer")));
    EXPECT_FALSE(KFsCryptedFile::decrypt(source, target));
    CloseHandle(exclusive);
    EXPECT_EQ(get(target), replaced ? kPlain : "old");
}

TEST_F(WindowsTargets, LongPathsAndAnsiNames)
{
    std::string dir = _dir;
    for (int i = 0; i < 5; ++i) {
        dir += "\\" + std::string(50, char('a' + i));
        ASSERT_TRUE(CreateDirectoryW(wide(dir).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    }
    const std::string deep = dir + "\\deep.kr";
    ASSERT_GT(deep.size(), std::size_t(MAX_PATH));
    ASSERT_TRUE(put(deep, qtCrypted(kPlain)));
    EXPECT_TRUE(KFsCryptedFile::decrypt(deep, deep + ".txt"));
    EXPECT_EQ(get(deep + ".txt"), kPlain);

    if (GetACP() != 1252)
        GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 1252";
    // 0xE9 is an e with an acute accent in code page 1252, and no UTF-8.
    const std::string name = path("caf\xE9.kr");
    ASSERT_TRUE(put(name, qtCrypted(kPlain)));
    EXPECT_TRUE(KFsCryptedFile::decrypt(name, name));
    EXPECT_EQ(get(name), kPlain);
    EXPECT_NE(GetFileAttributesW((wide(_dir) + L"\\caf\u00E9.kr").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(WindowsTargets, ALinkedTargetGetsTheContentAndTheLinkStays)
{
    const std::string real = path("real.txt"), link = path("link.txt"), source = path("s.kr");
    ASSERT_TRUE(put(real, "old"));
    ASSERT_TRUE(put(source, qtCrypted(kPlain)));
    // Wine 8 reports success and makes nothing.
    const DWORD made = CreateSymbolicLinkW(wide(link).c_str(), wide(real).c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)
        ? GetFileAttributesW(wide(link).c_str())
        : INVALID_FILE_ATTRIBUTES;
    if (made == INVALID_FILE_ATTRIBUTES || !(made & FILE_ATTRIBUTE_REPARSE_POINT))
        GTEST_SKIP() << "no symbolic links here";
    ASSERT_TRUE(KFsCryptedFile::decrypt(source, link));
    EXPECT_EQ(get(real), kPlain);
    EXPECT_NE(GetFileAttributesW(wide(link).c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << "still a link";

    // A link that leads nowhere is refused and left as it is.
    ASSERT_TRUE(DeleteFileW(wide(real).c_str()));
    EXPECT_FALSE(KFsCryptedFile::decrypt(source, link));
    EXPECT_NE(GetFileAttributesW(wide(link).c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(get(real), "<missing>");
}

TEST_F(WindowsTargets, AWorkingCopyHeldOpenIsRemovedByALaterHandle)
{
    const std::string source = path("s.kr");
    ASSERT_TRUE(put(source, qtCrypted(kPlain)));
    std::string copy;
    HANDLE holder = INVALID_HANDLE_VALUE;
    {
        KFsCryptedFile handle(source, KFsRead);
        copy = handle.getDecryptedFilePath();
        // Another program reading the copy, sharing nothing: Windows refuses
        // to delete the file until it lets go.
        holder = CreateFileW(wide(copy).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    }
    EXPECT_NE(GetFileAttributesW(wide(copy).c_str()), INVALID_FILE_ATTRIBUTES) << "held, so still there";
    CloseHandle(holder);
    { KFsCryptedFile later(path("missing.kr"), KFsRead); } // its end retries the list
    EXPECT_EQ(GetFileAttributesW(wide(copy).c_str()), INVALID_FILE_ATTRIBUTES) << "removed by the later handle";
}

TEST_F(WindowsTargets, PathsThatCarryTheLongPathPrefix)
{
    // As a caller may write them, and as a followed link resolves: the new
    // file beside the target and any missing directory are named from them.
    const std::string dir = "\\\\?\\" + _dir;
    ASSERT_TRUE(put(path("s.kr"), qtCrypted(kPlain)));
    ASSERT_TRUE(put(path("t.txt"), "old"));
    EXPECT_TRUE(KFsCryptedFile::decrypt(dir + "\\s.kr", dir + "\\t.txt"));
    EXPECT_EQ(get(path("t.txt")), kPlain);
    EXPECT_TRUE(KFsCryptedFile::decrypt(dir + "\\s.kr", dir + "\\new\\sub\\t.txt"));
    EXPECT_EQ(get(path("new\\sub\\t.txt")), kPlain);
}

TEST_F(WindowsTargets, MissingDirectoriesOfATargetBeyondMaxPathAreMade)
{
    std::string dir = _dir;
    for (int i = 0; i < 5; ++i)
        dir += "\\" + std::string(50, char('a' + i));
    const std::string target = dir + "\\t.txt";
    ASSERT_GT(target.size(), std::size_t(MAX_PATH));
    ASSERT_TRUE(put(path("s.kr"), qtCrypted(kPlain)));
    EXPECT_TRUE(KFsCryptedFile::decrypt(path("s.kr"), target));
    EXPECT_EQ(get(target), kPlain);
}
