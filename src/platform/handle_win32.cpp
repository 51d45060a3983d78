// Handles on Windows: opening by an 8-bit path, the one loop of reads and
// writes, unique names, the temporary directory, copies.
#include "win32_p.h"

#include "cancel_p.h"
#include "platform_p.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>

namespace korv::platform::win32 {

namespace {

// ReadFile and WriteFile take a DWORD count: larger requests go in steps.
constexpr std::size_t kMaxStep = 1u << 30;

} // namespace

bool fail(int error)
{
    return failWith(error);
}

bool failWin32(DWORD error)
{
    return fail(errnoFromWin32(error));
}

void closeHandle(std::intptr_t& h)
{
    if (h != -1 && h != 0)
        CloseHandle(handleOf(h));
    h = -1;
}

HANDLE openPath(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    const std::wstring wide = widePath(path);
    if (wide.empty()) {
        failWin32();
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        failWin32();
    return h;
}

bool writeAll(HANDLE h, const void* data, std::size_t n, std::int64_t offset)
{
    // A positioned write moves the file position of a synchronous handle:
    // put it back, so that the next plain write still appends.
    LARGE_INTEGER zero {}, position {};
    if (offset >= 0 && !SetFilePointerEx(h, zero, &position, FILE_CURRENT))
        return failWin32();
    auto p = static_cast<const char*>(data);
    bool ok = true;
    while (ok && n > 0) {
        OVERLAPPED at {};
        if (offset >= 0) {
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
        }
        DWORD written = 0;
        if (!WriteFile(h, p, static_cast<DWORD>(std::min(n, kMaxStep)), &written, offset >= 0 ? &at : nullptr))
            ok = failWin32();
        else if (written == 0)
            ok = fail(ENOSPC);
        p += written;
        n -= written;
        if (offset >= 0)
            offset += written;
    }
    if (offset >= 0 && !SetFilePointerEx(h, position, nullptr, FILE_BEGIN) && ok)
        ok = failWin32();
    return ok;
}

std::size_t readAt(HANDLE h, void* buffer, std::size_t n, std::uint64_t offset)
{
    std::size_t done = 0;
    while (done < n) {
        OVERLAPPED at {};
        const std::uint64_t where = offset + done;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD got = 0;
        if (!ReadFile(h, static_cast<char*>(buffer) + done, static_cast<DWORD>(std::min(n - done, kMaxStep)), &got,
                &at)) {
            const DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF)
                fail(kFileChanged);
            else
                failWin32(error);
            break;
        }
        if (got == 0) {
            fail(kFileChanged);
            break;
        }
        done += got;
    }
    return done;
}

bool setLength(HANDLE h, std::uint64_t length)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(length);
    return (SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h)) || failWin32();
}

bool stateOf(HANDLE h, FileState& state, bool regularOnly)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return failWin32();
    state.volume = info.dwVolumeSerialNumber;
    state.index = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    state.size = (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    state.modified = static_cast<std::int64_t>(
        (std::uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime);
    state.attributes = info.dwFileAttributes;
    state.links = info.nNumberOfLinks;
    return !regularOnly || isRegular(h, state) || fail(kNotRegularFile);
}

bool isRegular(HANDLE h, const FileState& st)
{
    return GetFileType(h) == FILE_TYPE_DISK && !(st.attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool stateOfPath(const std::string& path, FileState& state)
{
    // No access asked for: opens files others hold without sharing, and
    // directories (FILE_FLAG_BACKUP_SEMANTICS).
    HANDLE h = openPath(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = stateOf(h, state, false);
    CloseHandle(h);
    return ok;
}

HANDLE createUniqueFile(const std::string& dir, const std::string& prefix, std::string& name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = uniqueCandidate(dir, prefix);
        // DELETE access: the file can be renamed over its target and removed.
        HANDLE h = openPath(candidate, GENERIC_READ | GENERIC_WRITE | DELETE, kShareReadDelete, CREATE_NEW);
        if (h != INVALID_HANDLE_VALUE) {
            name = candidate;
            return h;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return INVALID_HANDLE_VALUE;
    }
    fail(EEXIST);
    return INVALID_HANDLE_VALUE;
}

namespace {

// A wide string in the ANSI code page; empty when a character has no form
// there (the 8-bit API could not name the file).
std::string narrow(const std::wstring& wide)
{
    if (wide.empty())
        return {};
    BOOL lossy = FALSE;
    const int size = static_cast<int>(wide.size());
    const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy)
        return {};
    std::string result(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), size, result.data(), n, nullptr, nullptr);
    return result;
}

std::wstring systemTempPath()
{
    wchar_t buffer[MAX_PATH + 2];
    const DWORD n = GetTempPathW(MAX_PATH + 2, buffer);
    return n > 0 && n <= MAX_PATH + 1 ? std::wstring(buffer, n) : std::wstring();
}

// As Qt's QDir::tempPath(): long names, '/' separators, no trailing one.
std::string canonicalDirectory(std::wstring dir)
{
    if (dir.empty())
        return {};
    const DWORD need = GetLongPathNameW(dir.c_str(), nullptr, 0);
    if (need > 0) {
        std::wstring longer(need, L'\0');
        const DWORD got = GetLongPathNameW(dir.c_str(), longer.data(), need);
        if (got > 0 && got < need)
            dir = longer.substr(0, got);
    }
    while (dir.size() > 3 && (dir.back() == L'\\' || dir.back() == L'/'))
        dir.pop_back();
    const DWORD attributes = GetFileAttributesW(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return {};
    // Wide, so that no DBCS trail byte is taken for a separator.
    std::replace(dir.begin(), dir.end(), L'\\', L'/');
    return narrow(dir);
}

} // namespace

std::string temporaryDirectory(bool again, bool* fresh)
{
    // Shared, not thread_local: 32-bit MinGW runtimes destroy thread_local
    // objects after their storage is gone (see pool_p.h).
    static std::mutex mutex;
    static std::wstring reported;
    static std::string directory;
    const std::wstring current = systemTempPath();
    std::lock_guard<std::mutex> lock(mutex);
    const bool lookUp = again || directory.empty() || current != reported;
    if (lookUp) {
        reported = current;
        directory = canonicalDirectory(current);
    }
    if (fresh)
        *fresh = lookUp;
    return directory;
}

bool copyContent(HANDLE in, HANDLE out, std::uint64_t size, bool cancellable)
{
    constexpr std::size_t kStep = 1 << 20;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kStep]);
    if (!buffer)
        return fail(ENOMEM);
    for (std::uint64_t done = 0; done < size;) {
        if (cancellable && cancelRequested())
            return fail(ECANCELED);
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kStep, size - done));
        if (readAt(in, buffer.get(), n, done) != n || !writeAll(out, buffer.get(), n))
            return false;
        done += n;
    }
    return true;
}

} // namespace korv::platform::win32
