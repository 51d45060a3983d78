#include "replace_win32.h"

#include "testhooks_p.h"

namespace korv::platform::win32 {

namespace {

bool missing(const std::wstring& path)
{
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

} // namespace

} // namespace korv::platform::win32

namespace korv::platform {
std::atomic<bool> replaceLosesTarget { false };
} // namespace korv::platform

namespace korv::platform::win32 {

DWORD replaceFile(const std::wstring& replacement, const std::wstring& target)
{
    if (replaceLosesTarget.load()) {
        DeleteFileW(target.c_str());
        return ERROR_UNABLE_TO_MOVE_REPLACEMENT;
    }
    // Merge errors concern only the target's ACL and attributes, which are
    // still applied as far as they go; the content is complete either way.
    if (ReplaceFileW(target.c_str(), replacement.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                     nullptr, nullptr))
        return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    // ReplaceFileW needs an existing target. Its ERROR_FILE_NOT_FOUND may
    // also mean a missing replacement, so look at the target itself.
    if (!missing(target))
        return error;
    if (MoveFileExW(replacement.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return ERROR_SUCCESS;
    return GetLastError();
}

} // namespace korv::platform::win32
