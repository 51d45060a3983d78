// The walk over the paths of the command line and of a list: the files to
// work on, each with its path relative to the argument it was found under.
#pragma once

#include "progress.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korv {

class Names;

// What the walk found wrong with a path (already reported on stderr); the
// batch passes it on in its place among the files.
struct WalkIssue {
    Outcome outcome; // Failed or Skipped
    std::string code; // as in korv's JSON reports
    std::string message;
};

struct FileItem {
    std::string path; // as found: the argument, or argument/.../name
    std::string relative; // under the argument (its last component for a file argument)
    std::uint64_t size = 0;
    std::shared_ptr<const WalkIssue> issue; // set for a path not to work on
};

struct WalkResult {
    std::vector<FileItem> files;
    std::size_t failed = 0; // paths or directories that could not be read
    std::string listError; // set when the list of names could not be read
};

// A named path is followed when it is a symbolic link; a directory is
// walked with `recursive` (in name order, links inside not followed, files
// that are not regular skipped with a note) and an error without it. A
// named file that is not regular is kept: the operation says why it fails.
// A listed name is placed under --to at its own path (listedRelative()).
WalkResult walk(Names& names, bool recursive);

} // namespace korv
