// Paths of the 8-bit API as the wide API needs them.
#pragma once

#include <string>

namespace korv::platform::win32 {

// The path taken in the ANSI code page (as QString::fromLocal8Bit reads it
// on Windows), made absolute, and given the \\?\ prefix when it is too long
// for the classic limit, so that paths beyond MAX_PATH work. Paths that
// already carry \\?\ or \\.\ are the caller's and are only converted (in a
// \\?\ one, '/' to '\', as Windows does for every other path).
// Returns an empty string on failure, with GetLastError() set: an empty path,
// a NUL inside it, or a failed conversion.
std::wstring widePath(const std::string& path);

} // namespace korv::platform::win32
