// korv cat: the plain content of files or standard input, to standard output.
#pragma once

#include <string>
#include <vector>

namespace korv {

// Streams each path ("-": standard input) to stdout in bounded memory.
// The caller turns "no path at all" into "-".
// Returns 0, 1 when a file could not be read or was damaged (after its good
// bytes), or 141 quietly when the reader of stdout went away.
int catFiles(const std::vector<std::string>& paths);

} // namespace korv
