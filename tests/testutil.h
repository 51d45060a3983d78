// Helpers shared by the tests: a private directory per test, file I/O, hex.
#pragma once

#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
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
// Deterministic test content: compressible text or incompressible noise.
std::string textContent(std::size_t n, unsigned seed = 1);
std::string noiseContent(std::size_t n, unsigned seed = 1);
// Names of the entries of a directory, sorted.
std::vector<std::string> listDirectory(const std::string& dir);
// True for the name of the file that a write of target makes beside it (and a
// killed process may leave): ".<target>.korv-" and ten letters or digits.
bool isTemporaryNameOf(const std::string& name, const std::string& target);
// Removes path and everything under it, whatever bytes the names hold.
void removeTree(const std::string& path);

// How a forked child ended: fn's result, or the signal that killed it.
enum ChildResult { ChildFalse = 0, ChildTrue = 1, ChildOther = 2, ChildKilled = 3 };
// Runs fn in a forked child. A nonzero fileSizeLimit caps the size of any
// file the child writes (RLIMIT_FSIZE) and ignores SIGXFSZ, so that a write
// past it fails with EFBIG instead of killing the child.
ChildResult runInChild(const std::function<bool()>& fn, std::uint64_t fileSizeLimit = 0);

class TempDirTest : public ::testing::Test {
protected:
    // Qt cannot remove names that are not UTF-8; remove them ourselves.
    ~TempDirTest() override { removeTree(_root); }

    std::string path(const std::string& name) const { return _root + "/" + name; }
    const std::string& root() const { return _root; }

private:
    QTemporaryDir _dir;
    std::string _root = _dir.path().toStdString();
};

} // namespace korvtest
