// Helpers shared by the tests: a private directory per test, file I/O, hex.
#pragma once

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <cstdint>
#include <string>

namespace korvtest {

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
unsigned permissions(const std::string& path);
void setPermissions(const std::string& path, unsigned mode);
std::string fromHex(const std::string& hex);
std::string toHex(const std::string& bytes);
// The crypted form of plain, built independently of the library: "kr" + qCompress.
std::string qtCrypted(const std::string& plain);
// A crypted file's bytes with another stored plain length.
std::string withStoredLength(std::string crypted, std::uint32_t length);
// Deterministic test content: compressible text or incompressible noise.
std::string textContent(std::size_t n, unsigned seed = 1);
std::string noiseContent(std::size_t n, unsigned seed = 1);
// Names of the entries of a directory, sorted.
std::vector<std::string> listDirectory(const std::string& dir);

class TempDirTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return _root + "/" + name; }
    const std::string& root() const { return _root; }

private:
    QTemporaryDir _dir;
    std::string _root = _dir.path().toStdString();
};

} // namespace korvtest
