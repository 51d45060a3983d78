// Making a target path ready to be written. Internal: not installed.
#pragma once

#include <string>

namespace korv {

// Creates every missing directory on the way to target and makes an
// existing target writable. Reports nothing: the write that follows fails
// if the path could not be prepared.
void prepareTargetPath(const std::string& target);
// The first half of that alone: the missing directories.
void createParentDirectories(const std::string& target);

} // namespace korv
