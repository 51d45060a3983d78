// Walking trees with the names as bytes (they need not be UTF-8).
#include "walk.h"

#include "jobs.h"
#include "names.h"
#include "output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace korv {

namespace {

using DirId = std::pair<dev_t, ino_t>;

std::string join(const std::string& dir, const std::string& name)
{
    if (dir.empty())
        return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string lastComponent(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The issue is told on stderr at once, in the order the walk meets it.
void issue(WalkResult& r, const std::string& path, Outcome outcome, const std::string& code,
    const std::string& message)
{
    if (outcome == Outcome::Failed) {
        Output::instance().error(path, message);
        ++r.failed;
    } else {
        Output::instance().note(path, message);
    }
    FileItem item;
    item.path = path;
    item.issue = std::make_shared<const WalkIssue>(WalkIssue { outcome, code, message });
    r.files.push_back(std::move(item));
}

class Walker {
public:
    explicit Walker(WalkResult& result)
        : _r(result)
    {
    }

    void directory(const std::string& path, const std::string& relative, const struct stat& st)
    {
        // Bind mounts can loop even without links.
        if (!_open.insert({ st.st_dev, st.st_ino }).second) {
            issue(_r, path, Outcome::Skipped, "", "directory loop, skipped");
            return;
        }
        DIR* dir = ::opendir(path.c_str());
        if (!dir) {
            const int error = errno;
            issue(_r, path, Outcome::Failed, errorCode(error), std::strerror(error));
            _open.erase({ st.st_dev, st.st_ino });
            return;
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* e = ::readdir(dir)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
            errno = 0;
        }
        if (errno != 0) {
            const int error = errno;
            issue(_r, path, Outcome::Failed, errorCode(error), std::strerror(error));
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names)
            entry(join(path, name), relative.empty() ? name : relative + "/" + name);
        _open.erase({ st.st_dev, st.st_ino });
    }

private:
    void entry(const std::string& path, const std::string& relative)
    {
        if (stopFlag().load())
            return;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            const int error = errno;
            issue(_r, path, Outcome::Failed, errorCode(error), std::strerror(error));
        } else if (S_ISDIR(st.st_mode)) {
            directory(path, relative, st);
        } else if (S_ISREG(st.st_mode)) {
            _r.files.push_back({ path, relative, std::uint64_t(st.st_size), nullptr });
        } else {
            issue(_r, path, Outcome::Skipped, "",
                S_ISLNK(st.st_mode) ? "symbolic link, skipped" : "not a regular file, skipped");
        }
    }

    WalkResult& _r;
    std::set<DirId> _open; // the directories on the way down
};

} // namespace

WalkResult walk(Names& names, bool recursive)
{
    WalkResult result;
    std::string arg;
    bool listed = false;
    while (names.next(arg, listed)) {
        if (stopFlag().load())
            break;
        struct stat st { };
        const bool found = ::stat(arg.c_str(), &st) == 0;
        if (found && S_ISDIR(st.st_mode)) {
            if (!recursive) {
                issue(result, arg, Outcome::Failed, "not_regular_file", "is a directory (use -r to walk it)");
                continue;
            }
            Walker(result).directory(arg, listed ? listedRelative(arg) : "", st);
            continue;
        }
        // Missing and special files go on to the operation, which names the reason.
        result.files.push_back({ arg, listed ? listedRelative(arg) : lastComponent(arg),
            found && S_ISREG(st.st_mode) ? std::uint64_t(st.st_size) : 0, nullptr });
    }
    result.listError = names.error();
    return result;
}

} // namespace korv
