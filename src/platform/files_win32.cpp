// Files by their path on Windows: the read-only attribute, existence,
// directories, removal, the temporary directory, appends and truncations in
// place.
#include "inputfile_p.h"
#include "outputfile_p.h"
#include "platform_p.h"
#include "testhooks_p.h"
#include "win32_p.h"

namespace korv::platform {

using namespace win32;

namespace {

DWORD attributesOf(const std::string& path)
{
    const std::wstring wide = widePath(path);
    return wide.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(wide.c_str());
}

bool setAttributes(const std::string& path, DWORD attributes)
{
    const std::wstring wide = widePath(path);
    return !wide.empty() && SetFileAttributesW(wide.c_str(), attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
}

constexpr DWORD kNotAFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;

// Opens a file of the caller's to change it: others may go on reading it.
HANDLE openForChange(const std::string& path)
{
    return openPath(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
}

// Appends at the end (oldSize); on a failed write the file is cut back, so
// no partial append stays.
bool appendTo(HANDLE h, std::uint64_t oldSize, const void* data, std::size_t n)
{
    if (writeAll(h, data, n, static_cast<std::int64_t>(oldSize)))
        return true;
    const int error = lastError();
    (void)setLength(h, oldSize);
    return fail(error);
}

bool closeChecked(HANDLE h, bool ok)
{
    return (CloseHandle(h) || failWin32()) && ok;
}

} // namespace

// Others are kept out of a mapped source rather than made to wait, and for
// as long as the mapping is held: so bound it as the kernel's default bounds
// a lease elsewhere.
long leaseBreakSeconds()
{
    return 45;
}

std::string tempDirectory()
{
    return temporaryDirectory(true);
}

RemoveResult removeNow(const std::string& path)
{
    const std::wstring wide = widePath(path);
    if (!wide.empty() && DeleteFileW(wide.c_str()))
        return RemoveResult::Removed;
    // A file another process holds without sharing its deletion stays:
    // the caller keeps it on its list to remove later.
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? RemoveResult::Missing
                                                                           : RemoveResult::Failed;
}

bool appendToFile(const std::string& path, std::uint64_t expectedSize, const void* data, std::size_t n)
{
    HANDLE h = openForChange(path);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    FileState st;
    const bool ok = stateOf(h, st) && (st.size == expectedSize || fail(kFileChanged))
        && appendTo(h, expectedSize, data, n);
    return closeChecked(h, ok);
}

bool appendToFile(const std::string& path, const InputFile& read, const void* data, std::size_t n)
{
    HANDLE h = openForChange(path);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = read.unchangedAt(valueOf(h)) && appendTo(h, read._size, data, n);
    return closeChecked(h, ok);
}

bool truncateFile(const std::string& path, const InputFile& read, std::uint64_t newSize)
{
    HANDLE h = openForChange(path);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = read.unchangedAt(valueOf(h)) && setLength(h, newSize);
    return closeChecked(h, ok);
}

bool isReadOnly(const std::string& path)
{
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

bool clearReadOnly(const std::string& path)
{
    const DWORD attributes = attributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (!(attributes & FILE_ATTRIBUTE_READONLY) || (attributes & kNotAFile))
        return true;
    return setAttributes(path, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
}

bool setReadOnly(const std::string& path)
{
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & kNotAFile)
        && setAttributes(path, attributes | FILE_ATTRIBUTE_READONLY);
}

bool sameFile(const std::string& a, const std::string& b)
{
    FileState sa, sb;
    return stateOfPath(a, sa) && stateOfPath(b, sb) && sa.volume == sb.volume && sa.index == sb.index;
}

bool exists(const std::string& path)
{
    return attributesOf(path) != INVALID_FILE_ATTRIBUTES;
}

bool makeDirectory(const std::string& path)
{
    const std::wstring wide = widePath(path);
    return !wide.empty() && CreateDirectoryW(wide.c_str(), nullptr);
}

} // namespace korv::platform
