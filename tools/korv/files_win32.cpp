// korv's questions about files, answered by Windows: 8-bit names are in the
// ANSI code page, as the library takes them, and go through the wide API.
#include "files.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace korv {

namespace {

// From this length on only \\?\ paths work.
constexpr std::size_t kLongPath = MAX_PATH - 12;

std::wstring widePath(const std::string& path)
{
    if (path.empty() || path.size() > std::size_t(INT_MAX))
        return {};
    const int size = int(path.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, path.data(), size, nullptr, 0);
    std::wstring wide(std::size_t(n > 0 ? n : 0), L'\0');
    if (n <= 0 || MultiByteToWideChar(CP_ACP, 0, path.data(), size, wide.data(), n) != n)
        return {};
    // Windows takes a \\?\ path literally, where '/' would be part of a
    // name: the walk joins names with '/'.
    if (wide.compare(0, 4, L"\\\\?\\") == 0) {
        std::replace(wide.begin(), wide.end(), L'/', L'\\');
        return wide;
    }
    if (wide.size() < kLongPath)
        return wide;
    const DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(need, L'\0');
    const DWORD got = need ? GetFullPathNameW(wide.c_str(), need, full.data(), nullptr) : 0;
    if (got == 0 || got >= need)
        return wide;
    full.resize(got);
    return full.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

// A name Windows gave back, in the ANSI code page; false when the code
// page has no bytes for it (the library could not open it either).
bool narrowName(const wchar_t* name, std::string& out)
{
    const int n = WideCharToMultiByte(CP_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return false;
    out.assign(std::size_t(n), '\0');
    BOOL lossy = FALSE;
    if (WideCharToMultiByte(CP_ACP, 0, name, -1, out.data(), n, nullptr, &lossy) != n || lossy)
        return false;
    out.pop_back(); // the NUL
    return true;
}

int errnoOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    default:
        return EIO;
    }
}

FileStatus failure(int error)
{
    FileStatus s;
    s.error = error;
    return s;
}

FileKind kindOf(DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return FileKind::Link;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? FileKind::Directory : FileKind::Regular;
}

FileStatus statusOf(HANDLE h)
{
    if (GetFileType(h) != FILE_TYPE_DISK)
        return FileStatus {}; // a console, pipe or device
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return failure(errnoOf(GetLastError()));
    FileStatus s;
    s.kind = kindOf(info.dwFileAttributes);
    s.size = std::uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    s.id = { info.dwVolumeSerialNumber, std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow };
    return s;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// BACKUP_SEMANTICS: a directory opens too, and says what it is.
HANDLE openPath(const std::string& path, DWORD access, bool followLinks)
{
    const std::wstring wide = widePath(path);
    if (wide.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

} // namespace

FileStatus fileStatus(const std::string& path, bool followLinks)
{
    const HANDLE h = openPath(path, FILE_READ_ATTRIBUTES, followLinks);
    if (h == INVALID_HANDLE_VALUE)
        return failure(errnoOf(GetLastError()));
    const FileStatus s = statusOf(h);
    CloseHandle(h);
    return s;
}

bool readDirectory(const std::string& path, std::vector<DirEntry>& entries, int& error)
{
    const char last = path.back();
    const std::string prefix = last == '/' || last == '\\' || last == ':' ? path : path + "\\";
    const std::wstring pattern = widePath(prefix + "*");
    WIN32_FIND_DATAW data;
    const HANDLE find = pattern.empty() ? INVALID_HANDLE_VALUE
                                        : FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                            FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD e = pattern.empty() ? ERROR_INVALID_NAME : GetLastError();
        error = e == ERROR_FILE_NOT_FOUND ? 0 : errnoOf(e); // a drive's empty root
        return error == 0;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        DirEntry e;
        if (!narrowName(data.cFileName, e.name)) {
            // Shown as Windows writes it in the code page, with '?' where it has no character.
            const int n = WideCharToMultiByte(CP_ACP, 0, data.cFileName, -1, nullptr, 0, nullptr, nullptr);
            e.name.assign(std::size_t(n > 0 ? n : 1), '\0');
            WideCharToMultiByte(CP_ACP, 0, data.cFileName, -1, e.name.data(), n, nullptr, nullptr);
            e.name.resize(n > 0 ? std::size_t(n - 1) : 0);
            e.status = failure(EILSEQ);
        } else {
            // Reparse points (links, junctions, mount points) are not followed.
            e.status.kind = kindOf(data.dwFileAttributes);
            e.status.size = std::uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
            if (e.status.kind == FileKind::Directory)
                e.status = fileStatus(prefix + e.name, false);
        }
        entries.push_back(std::move(e));
    } while (FindNextFileW(find, &data));
    const DWORD e = GetLastError();
    FindClose(find);
    error = e == ERROR_NO_MORE_FILES ? 0 : errnoOf(e);
    return error == 0;
}

bool readStart(const std::string& path, unsigned char* bytes, std::size_t size, std::size_t& got,
    FileStatus& status)
{
    got = 0;
    const HANDLE h = openPath(path, GENERIC_READ, true);
    if (h == INVALID_HANDLE_VALUE) {
        status = failure(errnoOf(GetLastError()));
        return false;
    }
    status = statusOf(h);
    DWORD n = 0;
    if (status.error == 0 && status.kind == FileKind::Regular) {
        if (ReadFile(h, bytes, DWORD(size), &n, nullptr))
            got = n;
        else
            status.error = errnoOf(GetLastError());
    }
    CloseHandle(h);
    return status.error == 0;
}

int openDescriptor(const std::string& path, bool wait, FileStatus& status)
{
    (void)wait; // opening a pipe does not wait for its writer on Windows
    const std::wstring wide = widePath(path);
    const int fd = wide.empty() ? -1 : _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        const int error = wide.empty() ? ENOENT : errno;
        // Windows opens no directory as a file: say what it is.
        status = fileStatus(path, true);
        const bool directory = status.error == 0 && status.kind == FileKind::Directory;
        status = failure(directory ? EISDIR : error);
        return -1;
    }
    status = statusOf(reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
    return fd;
}

void closeDescriptor(int fd)
{
    _close(fd);
}

std::string descriptorPath(int fd)
{
    (void)fd; // Windows has no name for an open handle that opens it again
    return {};
}

} // namespace korv
