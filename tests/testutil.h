// Helpers shared by the tests: a private directory per test, file I/O, hex.
#pragma once

#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

// Cases that need what Windows lacks (fork, rlimits, FIFOs, device nodes,
// setresuid, xattrs, POSIX modes, symlinks) skip there and say why.
#ifdef _WIN32
#define KORV_SKIP_ON_WINDOWS(why) GTEST_SKIP() << "not on Windows: needs " << why
#else
#define KORV_SKIP_ON_WINDOWS(why) static_cast<void>(0)
#endif


// Failed comparisons of QStrings show their text, not their UTF-16 units.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace korvtest {

std::string readFile(const std::string& path);
// Everything a stream (a CFileSystem) still has to give. A template so that
// tests that do not link the library can use the other helpers.
template <class Stream>
std::string readAll(Stream& stream)
{
    std::string content;
    char buffer[8192];
    unsigned n;
    while ((n = stream.read(buffer, 1, sizeof buffer)) > 0)
        content.append(buffer, n);
    return content;
}
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
// The helpers below live in testutil_posix.cpp and testutil_win32.cpp. Where
// Windows has no counterpart, the Windows one fails the test: call it only
// after KORV_SKIP_ON_WINDOWS.
// POSIX mode bits; on Windows only the read-only attribute (0444 or 0666).
unsigned permissions(const std::string& path);
void setPermissions(const std::string& path, unsigned mode);
// What permissions() shows here for a file given posixMode by setPermissions.
unsigned shownMode(unsigned posixMode);
// Removes a file, by names longer than MAX_PATH too; renames over an
// existing file as rename(2) does.
bool deleteFile(const std::string& path);
bool renameOver(const std::string& from, const std::string& to);
// What a text-mode stream writes for '\n'.
extern const char* const kTextNewline;
bool makeDirectory(const std::string& path);
bool makeHardLink(const std::string& existing, const std::string& link);
bool makeSymlink(const std::string& target, const std::string& link);
// Text a program wrote to a pipe, with Windows' CRLF line ends made LF there
// (and nowhere else).
std::string withLfLineEnds(std::string text);
// The environment variables the temporary directory is taken from.
extern const std::vector<const char*> kTempDirVariables;
// Points the temporary directory at dir for this process.
void setTempDirectory(const std::string& dir);
std::string fromHex(const std::string& hex);
std::string toHex(const std::string& bytes);
// The crypted form of plain, built independently of the library: "kr" + qCompress.
std::string qtCrypted(const std::string& plain);
// A crypted file's bytes with another stored plain length.
std::string withStoredLength(std::string crypted, std::uint32_t length);
// Deterministic test content: compressible text or incompressible noise.
std::string textContent(std::size_t n, unsigned seed = 1);
std::string noiseContent(std::size_t n, unsigned seed = 1);
// Runs body in a forked child whose files may not grow beyond limit bytes
// (SIGXFSZ ignored, so the write fails with EFBIG); returns its exit status.
int runWithFileSizeLimit(std::uint64_t limit, const std::function<int()>& body);
// Names of the entries of a directory, sorted.
std::vector<std::string> listDirectory(const std::string& dir);
// True for the name of the file that a write of target makes beside it (and a
// killed process may leave): ".<target>.korv-" and ten letters or digits.
bool isTemporaryNameOf(const std::string& name, const std::string& target);
// Removes path and everything under it, whatever bytes the names hold.
void removeTree(const std::string& path);

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

// A private temporary directory (TMPDIR) for the working copies of one test,
// so that the copies a test leaves behind can be counted.
class WorkingCopyTest : public TempDirTest {
protected:
    void SetUp() override;
    void TearDown() override;
    const std::string& tmp() const { return _tmp; }
    // The working copies ("kr2..." files) in the private temporary directory.
    std::vector<std::string> workingCopies() const;

private:
    std::string _tmp;
    std::vector<std::pair<QByteArray, bool>> _oldTmpDirs;
};

} // namespace korvtest
