// The seams through which tests make the platform fail on demand. Not
// exported; only tests set them. Internal: not installed.
#pragma once

#include <atomic>
#include <string>

namespace korv::platform {

// Test seam: when set and it returns true for a path, removeFile leaves that
// file alone and reports Failed, as a platform that refuses to remove an open
// file would. Not exported; only tests set it.
using RemoveFault = bool (*)(const std::string& path);
extern std::atomic<RemoveFault> removeFault;

// Test seam: when set, called at every commit of a Replace with the file that
// holds the new content, before it takes over the target's metadata and
// replaces it. Not exported; only tests set it.
using CommitHook = void (*)(const std::string& newContent);
extern std::atomic<CommitHook> beforeCommit;

// Test seam: when set, told of every step that changes what a crash would
// leave behind, in the order the steps succeed: the power-loss check replays
// every prefix of that order. Not exported; only tests set it.
enum class Step {
    Create, // a new, empty file at path
    Write, // path has bytes written, not yet synced (bytes: its size so far)
    SyncData, // path's content is on disk
    Rename, // path replaced other (path is the old name, other the new one)
    SyncDirectory // the entries of the directory path are on disk
};
using StepHook = void (*)(Step step, const std::string& path, const std::string& other);
extern std::atomic<StepHook> stepHook;
// Test seam: when set and it returns true for path, the data sync of that
// new file is left out (and not reported), as a faulty implementation would:
// the power-loss check must catch it.
using SkipSync = bool (*)(const std::string& path);
extern std::atomic<SkipSync> skipDataSync;
// Test seam (POSIX): when set, a commit that must not replace acts as on a
// file system whose renameat2 knows no RENAME_NOREPLACE.
extern std::atomic<bool> noRenameNoReplace;
// Test seam (POSIX): when not 0, every directory sync fails with this error.
extern std::atomic<int> directorySyncFault;
// Test seam (Windows): when set, replacing an existing target fails as
// ReplaceFileW may: the target already removed, the new file under its own name.
extern std::atomic<bool> replaceLosesTarget;

} // namespace korv::platform
