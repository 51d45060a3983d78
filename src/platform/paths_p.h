// Splitting a path into its directory and its last component: the one
// place that does it. Internal: not installed.
#pragma once

#include <string>

namespace korv::platform {

// The directory part of path: "." when it has none, "/" for a file in the root.
std::string directoryOf(const std::string& path);
// The last component of path.
std::string fileNameOf(const std::string& path);

} // namespace korv::platform
