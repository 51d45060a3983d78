// What the Windows implementation files of the platform share: handles, the
// one loop for reads and writes, the last error, unique names, the
// temporary directory. Internal to src/platform: only *_win32.cpp include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <windows.h>

#include "lasterror_win32.h"
#include "platform_p.h"
#include "replace_win32.h"
#include "widepath_win32.h"

namespace korv::platform::win32 {

// Records why a call failed (see lastError()) and returns false.
bool fail(int error);
// The same for a Windows error, recorded as the errno value it means.
bool failWin32(DWORD error = GetLastError());

inline HANDLE handleOf(std::intptr_t h)
{
    return reinterpret_cast<HANDLE>(h);
}
inline std::intptr_t valueOf(HANDLE h)
{
    return reinterpret_cast<std::intptr_t>(h);
}
void closeHandle(std::intptr_t& h);

// CreateFileW on an 8-bit path; INVALID_HANDLE_VALUE with the reason
// recorded when it cannot be opened.
HANDLE openPath(const std::string& path, DWORD access, DWORD share, DWORD disposition,
    DWORD flags = FILE_ATTRIBUTE_NORMAL);
// Shares that let others read and delete, never write.
constexpr DWORD kShareReadDelete = FILE_SHARE_READ | FILE_SHARE_DELETE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Writes all n bytes, at offset when it is not negative (the file position
// stays), else at the file position.
bool writeAll(HANDLE h, const void* data, std::size_t n, std::int64_t offset = -1);
// Reads up to n bytes at offset; fewer only at the end (kFileChanged) or on
// an error.
std::size_t readAt(HANDLE h, void* buffer, std::size_t n, std::uint64_t offset);
// Sets the file's length and leaves the file position there.
bool setLength(HANDLE h, std::uint64_t length);

// What identifies a file and its state.
struct FileState {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    DWORD attributes = 0;
    DWORD links = 0;
};
// The state of the file open as h; false (reason recorded) when it cannot be
// read. With regularOnly, a directory or device records kNotRegularFile.
bool stateOf(HANDLE h, FileState& state, bool regularOnly = true);
// The same by path, links followed; the file is opened for nothing but that.
bool stateOfPath(const std::string& path, FileState& state);
// True when h, whose state is st, is a regular file (no directory, device,
// pipe or console).
bool isRegular(HANDLE h, const FileState& st);
// What st says about a file, in the terms of lookAt(); regular as isRegular().
void takeFacts(const FileState& st, bool regular, PathFacts& facts);

// A path in the device namespace (\\.\): a device or named pipe, which
// is written into directly and never opened just to be looked at (opening a
// pipe connects to it).
inline bool isDevicePath(const std::wstring& wide)
{
    return wide.compare(0, 4, L"\\\\.\\") == 0;
}

// Creates a new file with an unpredictable name in dir (CREATE_NEW: never
// an existing file); the name starts with prefix.
HANDLE createUniqueFile(const std::string& dir, const std::string& prefix, std::string& name);

// The temporary directory in the ANSI code page, without a trailing
// separator; empty when it names no directory. Kept for the process, looked
// up again when `again` or when Windows reports another one.
std::string temporaryDirectory(bool again, bool* fresh = nullptr);

// Copies size bytes of in to out from the start of both; a cancellable copy
// stops when the caller asks.
bool copyContent(HANDLE in, HANDLE out, std::uint64_t size, bool cancellable = true);

} // namespace korv::platform::win32
