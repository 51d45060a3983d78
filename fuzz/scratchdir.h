// Real files for the fuzz targets: a private scratch directory under TMPDIR
// (removed at exit) with a "tmp" directory inside it that becomes TMPDIR for
// the working copies, and byte-exact file helpers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvfuzz {

// Creates the scratch directory once; later calls return the same one.
const std::string& scratchDir();
std::string scratchPath(const std::string& name);

// Replaces file by exactly these bytes with this mode.
void writeBytes(const std::string& file, const void* data, std::size_t n, unsigned mode = 0644);
std::vector<std::uint8_t> readBytes(const std::string& file);
bool sameBytes(const std::vector<std::uint8_t>& a, const std::uint8_t* b, std::size_t n);
unsigned modeOf(const std::string& file);
// Checks that dir holds exactly these names.
void expectOnly(const std::string& dir, const std::vector<std::string>& names);

} // namespace korvfuzz
