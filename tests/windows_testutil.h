// Windows only: files named in the ANSI code page reached through the wide
// API (beyond MAX_PATH too), and a folder of its own for each test.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace korvtest::windows {

// The path as the library takes it (CP_ACP), with \\?\ where it is long.
std::wstring wide(const std::string& path);
// Writes or reads a whole file; get() gives "<missing>" when it cannot open.
bool put(const std::string& path, const std::string& bytes);
std::string get(const std::string& path);

class FolderTest : public ::testing::Test {
protected:
    void SetUp() override;
    std::string path(const std::string& name) const { return _dir + "\\" + name; }
    std::string _dir;
};

} // namespace korvtest::windows
