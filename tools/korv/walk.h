// The walk over the paths of the command line: the files to work on, each
// with its path relative to the argument it was found under.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korv {

struct FileItem {
    std::string path; // as found: the argument, or argument/.../name
    std::string relative; // under the argument (its last component for a file argument)
    std::uint64_t size = 0;
};

struct WalkResult {
    std::vector<FileItem> files;
    std::size_t failed = 0; // arguments or directories that could not be read
    std::size_t skipped = 0; // links and special files inside trees
};

// A named argument is followed when it is a symbolic link; a directory is
// walked with `recursive` (in name order, links inside not followed, files
// that are not regular skipped with a note) and an error without it. A
// named file that is not regular is kept: the operation says why it fails.
WalkResult walk(const std::vector<std::string>& arguments, bool recursive);

} // namespace korv
