// The test helpers that need POSIX: modes, links, rlimits, forks, nftw.
#include "testutil.h"

#include <csignal>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvtest {

const std::vector<const char*> kTempDirVariables { "TMPDIR" };

std::string withLfLineEnds(std::string text)
{
    return text;
}

unsigned shownMode(unsigned posixMode)
{
    return posixMode;
}

const char* const kTextNewline = "\n";

bool deleteFile(const std::string& path)
{
    return ::unlink(path.c_str()) == 0;
}

bool renameOver(const std::string& from, const std::string& to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool makeDirectory(const std::string& path)
{
    return ::mkdir(path.c_str(), 0755) == 0;
}

bool makeHardLink(const std::string& existing, const std::string& link)
{
    return ::link(existing.c_str(), link.c_str()) == 0;
}

bool makeSymlink(const std::string& target, const std::string& link)
{
    return ::symlink(target.c_str(), link.c_str()) == 0;
}

bool fileExists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

unsigned permissions(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : ~0u;
}

void setPermissions(const std::string& path, unsigned mode)
{
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

int runWithFileSizeLimit(std::uint64_t limit, const std::function<int()>& body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit rl { limit, limit };
        ::_exit(::setrlimit(RLIMIT_FSIZE, &rl) == 0 ? body() : 99);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

void removeTree(const std::string& path)
{
    ::nftw(
        path.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p), 0; }, 64,
        FTW_DEPTH | FTW_PHYS);
}

} // namespace korvtest
