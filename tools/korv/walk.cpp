// Walking trees with the names as bytes (they need not be UTF-8).
#include "walk.h"

#include "jobs.h"
#include "names.h"
#include "output.h"

#include "files.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

namespace korv {

namespace {

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

    void directory(const std::string& path, const std::string& relative, const DirId& id)
    {
        // Bind mounts can loop even without links.
        if (!_open.insert(id).second) {
            issue(_r, path, Outcome::Skipped, "", "directory loop, skipped");
            return;
        }
        std::vector<DirEntry> entries;
        int error = 0;
        if (!readDirectory(path, entries, error))
            issue(_r, path, Outcome::Failed, errorCode(error), std::strerror(error));
        std::sort(entries.begin(), entries.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
        for (const DirEntry& e : entries)
            entry(join(path, e.name), relative.empty() ? e.name : relative + "/" + e.name, e.status);
        _open.erase(id);
    }

private:
    void entry(const std::string& path, const std::string& relative, const FileStatus& st)
    {
        if (stopFlag().load())
            return;
        if (st.error != 0) {
            issue(_r, path, Outcome::Failed, errorCode(st.error), std::strerror(st.error));
        } else if (st.kind == FileKind::Directory) {
            directory(path, relative, st.id);
        } else if (st.kind == FileKind::Regular) {
            _r.files.push_back({ path, relative, st.size, nullptr });
        } else {
            issue(_r, path, Outcome::Skipped, "",
                st.kind == FileKind::Link ? "symbolic link, skipped" : "not a regular file, skipped");
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
        const FileStatus st = fileStatus(arg, true);
        const bool found = st.error == 0;
        if (found && st.kind == FileKind::Directory) {
            if (!recursive) {
                issue(result, arg, Outcome::Failed, "not_regular_file", "is a directory (use -r to walk it)");
                continue;
            }
            Walker(result).directory(arg, listed ? listedRelative(arg) : "", st.id);
            continue;
        }
        // Missing and special files go on to the operation, which names the reason.
        result.files.push_back({ arg, listed ? listedRelative(arg) : lastComponent(arg),
            found && st.kind == FileKind::Regular ? st.size : 0, nullptr });
    }
    result.listError = names.error();
    return result;
}

} // namespace korv
