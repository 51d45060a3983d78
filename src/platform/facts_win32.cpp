// One look at a path on Windows: the file itself, and the file behind it
// when it is a reparse point (a symbolic link or junction).
#include "platform_p.h"
#include "win32_p.h"

namespace korv::platform {

namespace {

// Opens path for nothing but its attributes (others holding it without
// sharing do not stop that; FILE_FLAG_BACKUP_SEMANTICS opens directories).
HANDLE openToLook(const std::string& path, DWORD flags)
{
    return win32::openPath(
        path, FILE_READ_ATTRIBUTES, win32::kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags);
}

// What the open file h is; a device, pipe or console has no file
// information to give and counts as there but not regular.
bool look(HANDLE h, PathFacts& facts)
{
    if (GetFileType(h) != FILE_TYPE_DISK) {
        facts.exists = true;
        return true;
    }
    win32::FileState st;
    if (!win32::stateOf(h, st, false))
        return false;
    win32::takeFacts(st, win32::isRegular(h, st), facts);
    facts.link = (st.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return true;
}

} // namespace

void win32::takeFacts(const FileState& st, bool regular, PathFacts& facts)
{
    facts.exists = true;
    facts.regular = regular;
    facts.directory = (st.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.device = st.volume;
    facts.inode = st.index;
    facts.links = st.links;
    // The read-only attribute is what takes the owner's write permission away.
    facts.mode = (st.attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
}

bool lookAt(const std::string& path, PathFacts& facts)
{
    facts = PathFacts {};
    const std::wstring wide = win32::widePath(path);
    if (wide.empty())
        return win32::failWin32();
    if (win32::isDevicePath(wide)) {
        facts.exists = true;
        return true;
    }
    HANDLE h = openToLook(path, FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool ok = look(h, facts);
    CloseHandle(h);
    if (!ok || !facts.link)
        return ok;
    // A second look for a link, at what it leads to; a dangling one is a
    // link with nothing there.
    h = openToLook(path, 0);
    facts = PathFacts {};
    facts.link = true;
    if (h == INVALID_HANDLE_VALUE)
        return false;
    ok = look(h, facts);
    CloseHandle(h);
    facts.link = true;
    return ok;
}

} // namespace korv::platform
