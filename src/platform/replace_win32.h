// Putting a finished file in the place of the target in one step.
#pragma once

#include <string>

#include <windows.h>

namespace korv::platform::win32 {

// Moves replacement (a finished, flushed file in the target's directory) to
// target. An existing target is replaced with ReplaceFileW, which keeps its
// ACL, attributes, alternate data streams and creation time; a new target is
// created by MoveFileExW with write-through. Returns ERROR_SUCCESS or the
// Windows error; on failure both files are as they were (no backup name is
// given, so ReplaceFileW cannot leave the target renamed away).
DWORD replaceFile(const std::wstring& replacement, const std::wstring& target);

} // namespace korv::platform::win32
