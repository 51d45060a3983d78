// Putting a finished file in the place of the target in one step.
#pragma once

#include <string>

#include <windows.h>

namespace korv::platform::win32 {

// Moves replacement (a finished, flushed file in the target's directory) to
// target. An existing target is replaced with ReplaceFileW, which keeps its
// ACL, attributes, alternate data streams and creation time; a new target is
// created by MoveFileExW with write-through. Returns ERROR_SUCCESS or the
// Windows error. On failure the replacement is still under its own name; the
// target is mostly as it was, but ReplaceFileW may have removed it already
// (ERROR_UNABLE_TO_MOVE_REPLACEMENT), and the move after it failed too.
DWORD replaceFile(const std::wstring& replacement, const std::wstring& target);

} // namespace korv::platform::win32
