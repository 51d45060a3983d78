// Making a target path ready to be written. Internal: not installed.
#pragma once

#include <string>
#include <vector>

namespace korv {

// Creates every missing directory on the way to target and makes an
// existing target writable. Reports nothing: the write that follows fails
// if the path could not be prepared.
void prepareTargetPath(const std::string& target);
// The first half of that alone: the missing directories, each one made
// added to made (from the top down) when given.
void createParentDirectories(const std::string& target, std::vector<std::string>* made = nullptr);

} // namespace korv
