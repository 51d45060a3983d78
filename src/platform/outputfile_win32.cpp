// OutputFile and copies on Windows. A new file beside the target takes its
// place with ReplaceFileW, which keeps the old file's ACL, attributes,
// alternate data streams and creation time (MoveFileExW for a new target);
// a target with other hard links is overwritten in place from a copy in the
// temporary directory; a device is written into directly.
#include "inputfile_p.h"
#include "outputfile_p.h"
#include "paths_p.h"
#include "platform_p.h"
#include "testhooks_p.h"
#include "win32_p.h"

#include "cancel_p.h"

#include <algorithm>
#include <cerrno>

namespace korv::platform {

using namespace win32;

namespace {

// What a temporary name adds to the target's: ".", ".korv-" and ten characters.
constexpr std::size_t kTemporaryNameExtra = 1 + 6 + 10;
constexpr std::size_t kLongestName = 255;
// POSIX permission bits as the read-only attribute reads them.
constexpr unsigned kOwnerWrite = 0200;

HANDLE h(std::intptr_t fd)
{
    return handleOf(fd);
}

// Replaces path, a symbolic link or junction, with the path it leads to in
// the ANSI code page. False (reason recorded) when it leads nowhere or the
// code page cannot name where it leads.
bool followLink(std::string& path)
{
    HANDLE file = openPath(path, 0, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::wstring final(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(
        file, final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (n == 0 || n >= final.size())
        return failWin32(error);
    BOOL lossy = FALSE;
    const int length = WideCharToMultiByte(
        CP_ACP, WC_NO_BEST_FIT_CHARS, final.data(), static_cast<int>(n), nullptr, 0, nullptr, &lossy);
    if (length <= 0 || lossy)
        return fail(EILSEQ);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, final.data(), static_cast<int>(n), narrow.data(), length,
        nullptr, nullptr);
    path = std::move(narrow);
    return true;
}

} // namespace

void OutputFile::unmapAll()
{
    if (_map)
        UnmapViewOfFile(_map);
    _map = nullptr;
}

void OutputFile::discard()
{
    unmapAll();
    if (_fd != -1 && _route == Route::WorkingCopy && !_empty)
        (void)setLength(h(_fd), 0);
    closeHandle(_fd);
    if (!_temporary.empty()) {
        const std::wstring wide = widePath(_temporary);
        if (!wide.empty())
            DeleteFileW(wide.c_str());
    }
    _temporary.clear();
}

// Windows gives a new file its ACL from the directory in any case: nothing
// to learn.
struct NewFileFacts::Private { };

NewFileFacts::NewFileFacts() = default;
NewFileFacts::~NewFileFacts() = default;
void NewFileFacts::forget() { }

bool OutputFile::create(const std::string& target, const PathFacts& facts, WriteMode mode, NewFileFacts*)
{
    _mode = mode;
    _route = mode == WriteMode::WorkingCopy ? Route::WorkingCopy : Route::Beside;
    _target = target;
    _renamed = false;
    _size = 0;
    const std::wstring wide = widePath(target);
    if (wide.empty())
        return failWin32();
    const bool exists = facts.exists;
    if (exists && facts.directory)
        return fail(kNotRegularFile);
    if (mode == WriteMode::WorkingCopy) {
        // Our own file: a link planted in its place is not followed.
        HANDLE file = openPath(target, GENERIC_READ | GENERIC_WRITE, kShareReadDelete, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
        _fd = valueOf(file);
        if (file != INVALID_HANDLE_VALUE && !setLength(file, 0))
            closeHandle(_fd);
        _empty = _fd != -1;
        return _fd != -1;
    }
    if (isDevicePath(wide) || (exists && !facts.regular))
        return createInto(target);
    // A link is followed: what it leads to gets the new content and the link
    // stays. One that leads nowhere is refused.
    if (facts.link && !followLink(_target))
        return false;
    // A new file would leave the old content under the file's other names.
    if (exists && facts.links > 1)
        return createOverwrite();
    _targetExisted = exists;
    const std::string name = fileNameOf(_target).substr(0, kLongestName - kTemporaryNameExtra);
    HANDLE file = createUniqueFile(directoryOf(_target), "." + name + ".korv-", _temporary);
    if (file == INVALID_HANDLE_VALUE)
        return exists && lastError() == EACCES && createOverwrite();
    _fd = valueOf(file);
    if (const StepHook hook = stepHook.load())
        hook(Step::Create, _temporary, {});
    _empty = true;
    return true;
}

bool OutputFile::createInto(const std::string& target)
{
    _route = Route::Into;
    HANDLE file = openPath(target, GENERIC_WRITE, kShareAll, OPEN_EXISTING);
    _fd = valueOf(file);
    if (file != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_DISK) {
        fail(kNotRegularFile);
        closeHandle(_fd);
    }
    _empty = _fd != -1;
    return _fd != -1;
}

bool OutputFile::createOverwrite()
{
    _route = Route::Overwrite;
    // Nothing is prepared for a file that could not be written in the end.
    HANDLE target = openPath(_target, GENERIC_WRITE, kShareAll, OPEN_EXISTING);
    if (target == INVALID_HANDLE_VALUE)
        return false;
    FileState st;
    const bool ok = stateOf(target, st);
    CloseHandle(target);
    if (!ok)
        return false;
    _targetDevice = st.volume;
    _targetInode = st.index;
    const std::string dir = temporaryDirectory(true);
    HANDLE file = dir.empty() ? INVALID_HANDLE_VALUE : createUniqueFile(dir, "kr2", _temporary);
    _fd = valueOf(file);
    _empty = _fd != -1;
    return _fd != -1;
}

bool OutputFile::createWorkingCopy()
{
    discard();
    _mode = WriteMode::WorkingCopy;
    _route = Route::WorkingCopy;
    _target.clear();
    _failed = false;
    bool fresh = false;
    std::string directory = temporaryDirectory(false, &fresh);
    HANDLE file = directory.empty() ? INVALID_HANDLE_VALUE : createUniqueFile(directory, "kr2", _target);
    if (file == INVALID_HANDLE_VALUE && !fresh) {
        directory = temporaryDirectory(true);
        file = directory.empty() ? INVALID_HANDLE_VALUE : createUniqueFile(directory, "kr2", _target);
    }
    _fd = valueOf(file);
    _empty = _fd != -1;
    return _fd != -1;
}

bool OutputFile::write(const void* data, std::size_t n)
{
    if (n > 0)
        _empty = false;
    if (_fd == -1 || _failed || !writeAll(h(_fd), data, n))
        _failed = true;
    else
        _size += n;
    return !_failed;
}

bool OutputFile::writeAt(std::uint64_t offset, const void* data, std::size_t n)
{
    if (!_failed && !writeAll(h(_fd), data, n, static_cast<std::int64_t>(offset)))
        _failed = true;
    else if (!_failed)
        _size = std::max<std::uint64_t>(_size, offset + n);
    return !_failed;
}

std::uint8_t* OutputFile::map(std::size_t n)
{
    if (_fd == -1 || _failed || n == 0 || _map || _route == Route::Into)
        return nullptr;
    _empty = false;
    // Setting the length allocates the clusters: a full disk fails here,
    // never as a fault on a store into the view.
    if (!setLength(h(_fd), n))
        return nullptr;
    const auto size = static_cast<std::uint64_t>(n);
    HANDLE mapping = CreateFileMappingW(
        h(_fd), nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), nullptr);
    void* p = mapping ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, n) : nullptr;
    if (mapping)
        CloseHandle(mapping);
    if (!p) {
        (void)setLength(h(_fd), 0);
        return nullptr;
    }
    _map = static_cast<std::uint8_t*>(p);
    _mapSize = n;
    return _map;
}

bool OutputFile::unmap(std::size_t used)
{
    if (!_map)
        return false;
    unmapAll();
    // setLength leaves the file position at the end, where write() goes on.
    if (!setLength(h(_fd), used))
        _failed = true;
    _empty = used == 0 && !_failed;
    _size = used;
    return !_failed;
}

bool OutputFile::reset()
{
    unmapAll();
    if (_fd != -1 && _empty) {
        _failed = false;
        return true;
    }
    // Bytes a device has taken cannot be taken back.
    _failed = _fd == -1 || _route == Route::Into || !setLength(h(_fd), 0);
    _empty = !_failed;
    _size = 0;
    return !_failed;
}

void OutputFile::setPermissions(unsigned mode)
{
    _permissions = mode;
    _permissionsSet = true;
}

bool OutputFile::closeNow()
{
    const bool ok = CloseHandle(h(_fd)) || failWin32();
    _fd = -1;
    return ok;
}

bool OutputFile::commitBeside(bool sync)
{
    const StepHook hook = stepHook.load();
    if (hook)
        hook(Step::Write, _temporary, {});
    bool ok = true;
    if (sync) {
        const SkipSync skip = skipDataSync.load();
        if (!(skip && skip(_temporary))) {
            ok = FlushFileBuffers(h(_fd)) || failWin32();
            if (ok && hook)
                hook(Step::SyncData, _temporary, {});
        }
    }
    ok = (CloseHandle(h(_fd)) || failWin32()) && ok;
    _fd = -1;
    const std::wstring from = widePath(_temporary), to = widePath(_target);
    if (ok && (from.empty() || to.empty()))
        ok = failWin32();
    // A new target gets the read-only attribute when its permissions say so;
    // an existing one keeps its own through ReplaceFileW.
    const bool existed = GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (ok && !existed && _permissionsSet && !(_permissions & kOwnerWrite))
        SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_READONLY);
    if (ok)
        ok = renameOver();
    if (ok) {
        if (hook)
            hook(Step::Rename, _temporary, _target);
        _temporary.clear();
        _renamed = true;
    } else if (existed && GetFileAttributesW(to.c_str()) == INVALID_FILE_ATTRIBUTES) {
        // The failed replace removed the target: the new content is now the
        // only copy, kept under its own name beside it rather than discarded.
        _temporary.clear();
    } else {
        SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    return ok;
}

bool OutputFile::renameOver()
{
    const std::wstring from = widePath(_temporary), to = widePath(_target);
    // Without MOVEFILE_REPLACE_EXISTING the move refuses a file that exists.
    const DWORD error = _replaceExisting || _targetExisted ? replaceFile(from, to)
        : MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) ? ERROR_SUCCESS
                                                                        : GetLastError();
    return error == ERROR_SUCCESS || failWin32(error);
}

bool OutputFile::commitOverwrite()
{
    // The new content is complete and on disk before the target is touched.
    FileState st, now;
    if (!FlushFileBuffers(h(_fd)))
        return failWin32();
    if (!stateOf(h(_fd), st))
        return false;
    HANDLE target = openPath(_target, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    if (target == INVALID_HANDLE_VALUE)
        return false;
    if (!stateOf(target, now) || now.volume != _targetDevice || now.index != _targetInode) {
        CloseHandle(target);
        return fail(kFileChanged);
    }
    // Room for the new content first: a full disk fails here, the target as it was.
    bool ok = st.size <= now.size || setLength(target, st.size);
    if (!ok) {
        CloseHandle(target);
        return false;
    }
    // From here the target changes. Should this fail, the whole new content
    // stays in the temporary directory to copy again.
    ok = (SetFilePointerEx(target, LARGE_INTEGER {}, nullptr, FILE_BEGIN) || failWin32())
        && copyContent(h(_fd), target, st.size, false) && setLength(target, st.size)
        && (FlushFileBuffers(target) || failWin32());
    ok = (CloseHandle(target) || failWin32()) && ok;
    if (!ok)
        _temporary.clear();
    return ok;
}

bool copyFile(const std::string& source, const std::string& target, WriteMode mode)
{
    InputFile in;
    return in.open(source) && copyFile(in, target, mode);
}

unsigned copyPermissions(const InputFile& source)
{
    FileState st;
    if (source._fd == -1 || !stateOf(h(source._fd), st))
        return 0;
    return st.attributes & FILE_ATTRIBUTE_READONLY ? 0444 : 0666;
}

bool copyFile(const InputFile& source, const std::string& target, WriteMode mode)
{
    FileState st, targetSt;
    if (source._fd == -1 || !stateOf(h(source._fd), st))
        return false;
    if (stateOfPath(target, targetSt) && targetSt.volume == st.volume && targetSt.index == st.index)
        return true;
    if (mode == WriteMode::Replace && exists(target) && isReadOnly(target))
        return false;
    OutputFile out;
    if (!out.create(target, mode) || !copyInto(source, out))
        return false;
    out.setPermissions(copyPermissions(source));
    return out.commit(false);
}

bool copyInto(const InputFile& source, OutputFile& out)
{
    if (source._fd == -1 || out._fd == -1 || out._failed || out._map)
        return false;
    out._empty = false;
    if (!copyContent(h(source._fd), h(out._fd), source._size))
        out._failed = true;
    else
        out._size = source._size;
    return !out._failed;
}

} // namespace korv::platform
