// The scratch directory and file helpers of the fuzz targets.
#include "scratchdir.h"

#include "fuzzcheck.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvfuzz {

namespace {

std::string g_dir;

void removeScratch()
{
    ::nftw(
        g_dir.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p), 0; }, 8,
        FTW_DEPTH | FTW_PHYS);
}

} // namespace

const std::string& scratchDir()
{
    if (g_dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/korv-fuzz-XXXXXX";
        KORV_FUZZ_CHECK(::mkdtemp(pattern.data()));
        g_dir = pattern;
        KORV_FUZZ_CHECK(::mkdir((g_dir + "/tmp").c_str(), 0700) == 0);
        KORV_FUZZ_CHECK(::setenv("TMPDIR", (g_dir + "/tmp").c_str(), 1) == 0);
        std::atexit(removeScratch);
    }
    return g_dir;
}

std::string scratchPath(const std::string& name)
{
    return scratchDir() + "/" + name;
}

void writeBytes(const std::string& file, const void* data, std::size_t n, unsigned mode)
{
    ::unlink(file.c_str());
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    KORV_FUZZ_CHECK(fd >= 0);
    KORV_FUZZ_CHECK(n == 0 || ::write(fd, data, n) == ssize_t(n));
    ::close(fd);
}

std::vector<std::uint8_t> readBytes(const std::string& file)
{
    std::vector<std::uint8_t> bytes;
    const int fd = ::open(file.c_str(), O_RDONLY);
    KORV_FUZZ_CHECK(fd >= 0);
    std::uint8_t buffer[1 << 16];
    for (ssize_t r; (r = ::read(fd, buffer, sizeof buffer)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + r);
    ::close(fd);
    return bytes;
}

bool sameBytes(const std::vector<std::uint8_t>& a, const std::uint8_t* b, std::size_t n)
{
    return a.size() == n && (n == 0 || std::memcmp(a.data(), b, n) == 0);
}

unsigned modeOf(const std::string& file)
{
    struct stat st;
    KORV_FUZZ_CHECK(::stat(file.c_str(), &st) == 0);
    return st.st_mode & 07777;
}

void expectOnly(const std::string& dir, const std::vector<std::string>& names)
{
    DIR* d = ::opendir(dir.c_str());
    KORV_FUZZ_CHECK(d);
    std::size_t count = 0;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        KORV_FUZZ_CHECK(std::find(names.begin(), names.end(), name) != names.end());
        ++count;
    }
    ::closedir(d);
    KORV_FUZZ_CHECK(count == names.size());
}

} // namespace korvfuzz
