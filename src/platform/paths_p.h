// Splitting a path into its directory and its last component: the one
// place that does it. Internal: not installed.
#pragma once

#include <string>

namespace korv::platform {

// The directory part of path as it is written: "." for a bare name, "/" at
// the root; trailing slashes do not count. Paths stay byte strings: a name
// need not be valid UTF-8.
std::string directoryOf(const std::string& path);
// The last component of path, trailing slashes left out.
std::string fileNameOf(const std::string& path);
// The length from which the system opens no path: nothing is made for one.
std::size_t pathLimit();

} // namespace korv::platform
