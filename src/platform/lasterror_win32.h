// Windows error codes in the terms the portable code already classifies.
#pragma once

#include <windows.h>

namespace korv::platform::win32 {

// The errno value that means what the Windows error means, so that the one
// place that turns the platform layer's errors into KFsErrorCode and
// messages serves both platforms: ENOENT (not found, also a file where a
// directory of the path should be), EACCES (permission; also a file another
// process holds without sharing), EROFS, ENOSPC, EFBIG (a file beyond what
// the volume holds, as POSIX's file size limit), EISDIR, ECANCELED and EIO
// for everything else. ERROR_ACCESS_DENIED is also what opening a directory
// as a file gives: callers that can tell check the attributes first.
int errnoFromWin32(DWORD error);

} // namespace korv::platform::win32
