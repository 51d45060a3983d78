// New content for a path, written by one of several routes and committed in
// one step. Internal: not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bytesink_p.h"
#include "platform_p.h"

namespace korv::platform {

// Output mappings are faulted in this many bytes at a time.
constexpr std::size_t kPrefaultStep = 2 << 20;

// New content for a path, written as its WriteMode says. Destruction without
// commit() drops the new content: the fresh file beside the target is
// removed, a working copy is emptied.
class OutputFile final : public ByteSink {
public:
    OutputFile();
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Starts new content for target. False when the target is a directory,
    // no file can be created beside it nor the target written (Replace) or it
    // cannot be opened (WorkingCopy).
    bool create(const std::string& target, WriteMode mode = WriteMode::Replace);
    // The same with what lookAt() found at target a moment ago, so that
    // nothing is asked twice. A new target's file is created with the
    // permissions the system gives any new file there (umask, default ACL);
    // a missing directory fails with ENOENT (the caller makes it and retries).
    // With learnt, what earlier files in the same directory showed is used
    // and what this one shows is added (Replace).
    bool create(const std::string& target, const PathFacts& facts, WriteMode mode = WriteMode::Replace,
        NewFileFacts* learnt = nullptr);
    // Starts a new working copy in the temporary directory, written WorkingCopy:
    // its name starts with "kr2" and is unpredictable, it is created
    // atomically (never through a link planted in its place) and only its
    // owner may read it. False when no such file can be made.
    bool createWorkingCopy();
    // The file the content goes to (the target, links followed).
    const std::string& path() const { return _target; }

    bool write(const void* data, std::size_t n) override;
    // Overwrites n bytes already written, at offset (a length in a header
    // known only at the end); the next write() still appends.
    bool writeAt(std::uint64_t offset, const void* data, std::size_t n);
    // Sets the content to n zero bytes and maps them for writing, with the
    // disk space reserved and the pages faulted in; nullptr when the file cannot be
    // sized, reserved or mapped (the caller then uses write(), which reports
    // the failure where a store into the mapping would raise SIGBUS).
    std::uint8_t* map(std::size_t n) override;
    // Ends a mapping, keeping its first used bytes as the whole content.
    bool unmap(std::size_t used) override;
    // Drops everything written so far.
    bool reset() override;

    // Replace: the permission bits a new target gets at the commit instead
    // of the default ones. An existing target keeps its own.
    void setPermissions(unsigned mode);
    // Replace, false: the commit never renames over a file that has
    // appeared at the target since create() (it fails with EEXIST).
    void setReplaceExisting(bool replace) { _replaceExisting = replace; }

    // Fails, dropping the new content, when the caller has asked to stop.
    // Replace: gives the new content the old target's metadata (or the
    // default permissions for a new file), syncs it first when sync is true,
    // and renames it over the target; or syncs it and copies it into the
    // target, which is synced too. A device or FIFO is closed. WorkingCopy: closes
    // the file.
    bool commit(bool sync);
    // Starts writing the content to disk without waiting (a later commit(true)
    // then waits less). Nothing to do for routes that write no new file.
    void startWriteback();
    // Makes the content of the files that a commit(true) would sync durable
    // together, where one call for their whole file system is cheaper than
    // one each (POSIX syncfs); their commits then sync no more. Files on
    // another file system, or whose file system is not known or not trusted
    // to flush with syncfs, sync their own.
    static void syncTogether(const std::vector<OutputFile*>& files);
    // True once commit() renamed a new file over the target: its directory
    // must be synced for the rename to survive a power loss.
    bool renamed() const { return _renamed; }
    // The bytes of content so far.
    std::uint64_t size() const { return _size; }
    // True once a write failed (lastError() says why).
    bool failed() const { return _failed; }

private:
    friend bool copyFile(const InputFile& source, const std::string& target, WriteMode mode);
    friend bool copyInto(const InputFile& source, OutputFile& out);
    // Where the bytes go until the commit.
    enum class Route {
        Beside, // a new file beside the target, renamed over it
        Into, // the target itself, a device or FIFO: no commit to make
        Overwrite, // a file in the temporary directory, copied into the target
        WorkingCopy // our own working copy
    };
    bool createInto(const std::string& target);
    bool createOverwrite();
    bool commitBeside(bool sync);
    // Closes the file, which stays where it is (Into, WorkingCopy).
    bool closeNow();
    bool commitOverwrite();
    // Renames the new file over the target, unless one has appeared there and
    // the caller said not to replace it (false then, EEXIST).
    bool renameOver();
    void unmapAll();
    void discard();

    // The open file: a descriptor on POSIX, a HANDLE on Windows; -1 for none.
    std::intptr_t _fd = -1;
    WriteMode _mode = WriteMode::Replace;
    Route _route = Route::Beside;
    unsigned _permissions = 0;
    std::string _target;
    std::string _temporary;
    std::uint8_t* _map = nullptr;
    std::size_t _mapSize = 0;
    bool _failed = false;
    // Nothing written since the file was found or made empty: reset() has
    // nothing to undo.
    bool _empty = false;
    bool _permissionsSet = false;
    bool _renamed = false;
    bool _replaceExisting = true;
    // Created with the old target's permissions: the commit need not set them.
    bool _modeGiven = false;
    std::uint64_t _size = 0;
    // What was at the target when the content was started (Beside).
    bool _targetExisted = false;
    // The file system of an existing target; 0 when not known.
    std::uint64_t _device = 0;
    // syncTogether() made the content durable.
    bool _synced = false;
    std::uint32_t _oldMode = 0;
    // Overwrite: the file the content is copied into at the commit.
    std::uint64_t _targetDevice = 0;
    std::uint64_t _targetInode = 0;
};

} // namespace korv::platform
