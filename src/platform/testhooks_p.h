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

} // namespace korv::platform
