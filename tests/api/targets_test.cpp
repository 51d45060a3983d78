// Writing to a target keeps what was true of it: devices and FIFOs are
// written into, a replaced file keeps its permissions (and is private while
// it is written), attributes, ACL, links, owner and group, and a cancelled
// call leaves everything as it was.
#include "CFileSystem.h"
#include "KFsConversionBatch.h"
#include "KFsCryptedFile.h"
#include "cancel_p.h"
#include "platform_p.h"
#include "testhooks_p.h"
#include "testutil.h"

#include <acl/libacl.h>
#include <map>
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

using namespace korvtest;

namespace {

const std::string kPlain = textContent(300000);

struct ReplacingPath {
    std::string name;
    std::function<bool(const std::string& target)> run;
    std::string expected;
    // In place: what the target must hold before the call.
    std::string inPlaceSource = {};
    std::string before() const { return inPlaceSource.empty() ? "old" : inPlaceSource; }
};

struct stat statOf(const std::string& path)
{
    struct stat st { };
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

// Everything a FIFO or pipe gives until its writers are gone.
std::string drain(int fd)
{
    std::string got;
    char buffer[1 << 16];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        got.append(buffer, std::size_t(n));
    return got;
}

// Runs body in a child that has become user uid, group gid and a member of
// groups; its exit status, or -1.
int runAs(uid_t uid, gid_t gid, std::vector<gid_t> groups, const std::function<bool()>& body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const bool ok = ::setgroups(groups.size(), groups.data()) == 0 && ::setresgid(gid, gid, gid) == 0
            && ::setresuid(uid, uid, uid) == 0;
        ::_exit(ok ? (body() ? 0 : 1) : 99);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What the commit seam saw, and the cancel flag it raises when asked to.
std::atomic<unsigned> modeAtCommit { 0 };
std::atomic<bool> cancelAtCommit { false };
std::atomic<bool> cancelFlag { false };

void recordCommit(const std::string& newContent)
{
    struct stat st { };
    modeAtCommit = ::stat(newContent.c_str(), &st) == 0 ? st.st_mode & 07777 : 01;
    if (cancelAtCommit)
        cancelFlag = true;
}

} // namespace

class Targets : public WorkingCopyTest {
protected:
    void TearDown() override
    {
        korv::platform::beforeCommit = nullptr;
        KFsCryptedFile::setCancelFlag(nullptr);
        WorkingCopyTest::TearDown();
    }

    // Every call that replaces a target's content. Those that need the
    // target to be a regular file (in place, handles, streams) only when
    // regular is set.
    std::vector<ReplacingPath> replacingPaths(bool regular)
    {
        const std::string plain = path("plain"), crypted = path("crypted.kr");
        writeFile(plain, kPlain);
        writeFile(crypted, qtCrypted(kPlain));
        std::vector<ReplacingPath> all {
            { "crypt", [=](const std::string& t) { return KFsCryptedFile::crypt(t, plain); },
                qtCrypted(kPlain) },
            { "decrypt", [=](const std::string& t) { return KFsCryptedFile::decrypt(crypted, t); }, kPlain },
            { "plain copy", [=](const std::string& t) { return KFsCryptedFile::decrypt(plain, t); }, kPlain },
        };
        if (!regular)
            return all;
        all.push_back({ "crypt in place", [](const std::string& t) { return KFsCryptedFile::crypt(t, t); },
            qtCrypted(kPlain), kPlain });
        all.push_back({ "decrypt in place",
            [](const std::string& t) { return KFsCryptedFile::decrypt(t, t); }, kPlain, qtCrypted(kPlain) });
        all.push_back({ "write-back",
            [](const std::string& t) {
                KFsCryptedFile handle(t, KFsWrite);
                writeFile(handle.getDecryptedFilePath(), kPlain);
                return true;
            },
            qtCrypted(kPlain) });
        all.push_back({ "stream",
            [](const std::string& t) {
                CFileSystem stream;
                return stream.open(t.c_str(), "w") == 0
                    && stream.write(kPlain.data(), 1, unsigned(kPlain.size())) == kPlain.size()
                    && stream.close() == 0;
            },
            qtCrypted(kPlain) });
        return all;
    }

    // Nothing beside the files the test made, nothing in the temporary directory.
    void expectNothingLeft(std::vector<std::string> names, const std::string& what)
    {
        names.insert(names.end(), { "crypted.kr", "plain", "tmp" });
        std::sort(names.begin(), names.end());
        EXPECT_EQ(listDirectory(root()), names) << what;
        EXPECT_EQ(listDirectory(tmp()), std::vector<std::string> {}) << what;
    }
};

TEST_F(Targets, DevicesFifosAndStandardOutputAreWrittenIntoNeverReplaced)
{
    const std::string device = path("null");
    if (::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot make a device node here: " << std::strerror(errno);
    setPermissions(device, 0666);
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    for (const ReplacingPath& p : replacingPaths(false)) {
        EXPECT_TRUE(p.run(device)) << p.name;
        EXPECT_TRUE(S_ISCHR(statOf(device).st_mode) && statOf(device).st_rdev == ::makedev(1, 3)) << p.name;
        EXPECT_EQ(statOf(device).st_mode & 07777, 0666u) << p.name;

        std::string got;
        std::thread reader([&] {
            const int fd = ::open(path("fifo").c_str(), O_RDONLY);
            got = drain(fd);
            ::close(fd);
        });
        EXPECT_TRUE(p.run(path("fifo"))) << p.name;
        reader.join();
        EXPECT_TRUE(got == p.expected) << p.name << ": " << got.size() << " bytes";
        EXPECT_TRUE(S_ISFIFO(statOf(path("fifo")).st_mode)) << p.name;

        // /dev/stdout on a pipe, read to the end; then on a pipe whose reader
        // has gone, which fails the call without SIGPIPE ending the caller.
        for (const bool reading : { true, false }) {
            int pipe[2];
            ASSERT_EQ(::pipe(pipe), 0);
            if (!reading)
                ::close(pipe[0]);
            const pid_t child = ::fork();
            if (child == 0) {
                ::dup2(pipe[1], STDOUT_FILENO);
                ::_exit(p.run("/dev/stdout") ? 0 : 1);
            }
            ::close(pipe[1]);
            if (reading) {
                EXPECT_TRUE(drain(pipe[0]) == p.expected) << p.name;
                ::close(pipe[0]);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (reading ? 0 : 1))
                << p.name << " " << status;
        }
    }
    expectNothingLeft({ "fifo", "null" }, "");
}

// The new file beside an existing target is its owner's alone until the
// commit, and then gets the target's permissions; for a new target it has
// from the start what the system gives any new file there (the umask here),
// which spares a system call per file. A cancel raised at that moment drops
// it and leaves the target as it was.
TEST_F(Targets, NewContentIsPrivateUntilTheCommitAndACancelKeepsTheTarget)
{
    korv::platform::beforeCommit = recordCommit;
    KFsCryptedFile::setCancelFlag(&cancelFlag);
    const mode_t oldMask = ::umask(027);
    for (const ReplacingPath& p : replacingPaths(true)) {
        setPermissions(path("plain"), 0600); // a plain copy carries it to a new target
        writeFile(path("t"), p.before());
        setPermissions(path("t"), 0664);
        modeAtCommit = 0;
        EXPECT_TRUE(p.run(path("t"))) << p.name;
        EXPECT_EQ(modeAtCommit, 0600u) << p.name;
        EXPECT_TRUE(readFile(path("t")) == p.expected) << p.name;
        EXPECT_EQ(permissions(path("t")), 0664u) << p.name;

        if (p.inPlaceSource.empty()) {
            ::unlink(path("t").c_str());
            modeAtCommit = 0;
            EXPECT_TRUE(p.run(path("t"))) << p.name;
            EXPECT_EQ(modeAtCommit, p.name == "plain copy" ? 0600u : 0640u) << p.name;
            EXPECT_EQ(permissions(path("t")), p.name == "plain copy" ? 0600u : 0640u) << p.name;
        }

        writeFile(path("t"), p.before());
        setPermissions(path("t"), 0604);
        cancelAtCommit = true;
        korv::clearCancelled();
        // A write-back reports nothing; its working copy keeps the content.
        EXPECT_TRUE(!p.run(path("t")) || p.name == "write-back") << p.name;
        EXPECT_TRUE(korv::wasCancelled()) << p.name;
        cancelAtCommit = false;
        cancelFlag = false;
        EXPECT_TRUE(readFile(path("t")) == p.before()) << p.name;
        EXPECT_EQ(permissions(path("t")), 0604u) << p.name;
        for (const std::string& copy : workingCopies())
            ::unlink(copy.c_str());
        expectNothingLeft({ "t" }, p.name);
    }
    ::umask(oldMask);
}

TEST_F(Targets, ReplacedFilesKeepTheirExtendedAttributesAndAcl)
{
    const std::string t = path("t");
    const auto attribute = [&](const char* name) {
        char value[256];
        const ssize_t n = ::getxattr(t.c_str(), name, value, sizeof value);
        return n < 0 ? std::string("(none)") : std::string(value, std::size_t(n));
    };
    for (const ReplacingPath& p : replacingPaths(true)) {
        writeFile(t, p.before());
        if (::setxattr(t.c_str(), "user.note", "keepme", 6, 0) != 0)
            GTEST_SKIP() << "no user extended attributes here: " << std::strerror(errno);
        acl_t acl = ::acl_from_text("u::rw-,u:nobody:r--,g::r--,m::r--,o::---");
        const int set = ::acl_set_file(t.c_str(), ACL_TYPE_ACCESS, acl);
        ::acl_free(acl);
        if (set != 0)
            GTEST_SKIP() << "no POSIX ACLs here: " << std::strerror(errno);
        const std::string aclBefore = attribute("system.posix_acl_access");

        EXPECT_TRUE(p.run(t)) << p.name;
        EXPECT_TRUE(readFile(t) == p.expected) << p.name;
        EXPECT_EQ(attribute("user.note"), "keepme") << p.name;
        EXPECT_EQ(attribute("system.posix_acl_access"), aclBefore) << p.name;
        EXPECT_EQ(permissions(t), 0640u) << p.name;
        ::unlink(t.c_str());
    }
    // A new file takes the directory's default ACL (less execute) over the umask.
    ::mkdir(path("d").c_str(), 0755);
    acl_t acl = ::acl_from_text("u::rwx,u:nobody:rwx,g::r-x,m::rwx,o::r-x");
    ASSERT_EQ(::acl_set_file(path("d").c_str(), ACL_TYPE_DEFAULT, acl), 0);
    ::acl_free(acl);
    const mode_t oldMask = ::umask(022);
    ASSERT_TRUE(KFsCryptedFile::crypt(path("d/new"), path("plain")));
    ::umask(oldMask);
    EXPECT_EQ(permissions(path("d/new")), 0664u);
    EXPECT_EQ(::acl_extended_file(path("d/new").c_str()), 1);
}

// A file with a second name is written into, so that both names keep showing
// one file; the new content is complete before the file is touched, so a
// failure before then leaves it as it was.
TEST_F(Targets, HardLinkedTargetsAreWrittenIntoAndKeepTheirLinks)
{
    const std::string t = path("t"), other = path("other");
    for (const ReplacingPath& p : replacingPaths(true)) {
        writeFile(t, p.before());
        setPermissions(t, 0604);
        ASSERT_EQ(::link(t.c_str(), other.c_str()), 0);
        const ino_t inode = statOf(t).st_ino;
        EXPECT_TRUE(p.run(t)) << p.name;
        EXPECT_TRUE(readFile(t) == p.expected && readFile(other) == p.expected) << p.name;
        EXPECT_TRUE(statOf(t).st_ino == inode && statOf(t).st_nlink == 2u) << p.name;
        EXPECT_EQ(permissions(t), 0604u) << p.name;
        expectNothingLeft({ "other", "t" }, p.name);
        ::unlink(t.c_str());
        ::unlink(other.c_str());
    }
    writeFile(path("corrupt.kr"), qtCrypted(kPlain).substr(0, 1000));
    writeFile(t, "old");
    ASSERT_EQ(::link(t.c_str(), other.c_str()), 0);
    EXPECT_FALSE(KFsCryptedFile::decrypt(path("corrupt.kr"), t));
    EXPECT_EQ(readFile(other), "old");
    ::unlink(path("corrupt.kr").c_str());
    expectNothingLeft({ "other", "t" }, "corrupt source");
}

// Another user's file is written by the process as it may: a file of a group
// it belongs to stays the owner's and the group's; a writable file in a
// directory it may not write is written all the same. Run as root, the test
// drops to nobody and daemon in children.
TEST_F(Targets, OtherUsersFilesStayTheirsAndReadOnlyDirectoriesAreNoObstacle)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as other users";
    const uid_t nobody = 65534, daemon = 1;
    const gid_t users = 100, nogroup = 65534;
    setPermissions(root(), 0755);
    setPermissions(tmp(), 01777);
    if (runAs(nobody, nogroup, {}, [&] { return ::access(tmp().c_str(), W_OK | X_OK) == 0; }) != 0)
        GTEST_SKIP() << "other users cannot reach " << root();
    ::mkdir(path("shared").c_str(), 0777);
    setPermissions(path("shared"), 0777);
    ::mkdir(path("locked").c_str(), 0755);
    const std::string plain = textContent(100000), crypted = qtCrypted(plain);
    struct Case {
        std::string file;
        uid_t user;
        std::vector<gid_t> groups;
    };
    // A member of the group, not the owner; the owner, with the group as a
    // supplementary one; the owner, in a directory only root may write.
    for (const Case& c : { Case { "shared/team.kr", daemon, { users } },
             Case { "shared/own.kr", nobody, { users } }, Case { "locked/data.kr", nobody, {} } }) {
        const std::string f = path(c.file);
        writeFile(f, crypted);
        ASSERT_EQ(::chown(f.c_str(), nobody, users), 0);
        setPermissions(f, 0664);
        const gid_t gid = c.user == nobody ? nogroup : daemon;
        EXPECT_EQ(runAs(c.user, gid, c.groups, [&] { return KFsCryptedFile::decrypt(f, f); }), 0) << c.file;
        EXPECT_TRUE(readFile(f) == plain) << c.file;
        EXPECT_EQ(runAs(c.user, gid, c.groups, [&] { return KFsCryptedFile::crypt(f, f); }), 0) << c.file;
        EXPECT_TRUE(readFile(f) == crypted) << c.file;
        const struct stat st = statOf(f);
        EXPECT_TRUE(st.st_uid == nobody && st.st_gid == users && (st.st_mode & 07777) == 0664) << c.file;
    }
    EXPECT_EQ(listDirectory(path("shared")), (std::vector<std::string> { "own.kr", "team.kr" }));
    EXPECT_EQ(listDirectory(path("locked")), std::vector<std::string> { "data.kr" });
    EXPECT_EQ(listDirectory(tmp()), std::vector<std::string> {});
}

namespace {

// What each new file was like when it was made, by its temporary name, and
// the target each was renamed to.
std::map<std::string, struct stat> madeAs;
std::map<std::string, std::string> renamedTo;

void recordStep(korv::platform::Step step, const std::string& path, const std::string& other)
{
    struct stat st { };
    if (step == korv::platform::Step::Create && ::stat(path.c_str(), &st) == 0)
        madeAs[path] = st;
    if (step == korv::platform::Step::Rename)
        renamedTo[path] = other;
}

} // namespace

// A batch makes the new file of one whose owner and group a new file gets
// anyway with that file's permissions; under any umask, in a directory with
// the set-group-ID bit or a default ACL, for files of other owners and
// groups, no new file is ever open to more than its target ends up, and
// every target keeps owner, group and mode.
TEST_F(Targets, BatchedReplacementsAreNeverMoreOpenThanTheFilesTheyReplace)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give files away";
    const gid_t users = 100;
    const uid_t nobody = 65534;
    ::mkdir(path("plain").c_str(), 0755);
    ::mkdir(path("setgid").c_str(), 0755);
    ASSERT_EQ(::chown(path("setgid").c_str(), 0, users), 0);
    setPermissions(path("setgid"), 02775);
    ::mkdir(path("acl").c_str(), 0755);
    acl_t acl = ::acl_from_text("u::rwx,u:nobody:r-x,g::r-x,m::r-x,o::---");
    const bool withAcl = ::acl_set_file(path("acl").c_str(), ACL_TYPE_DEFAULT, acl) == 0;
    ::acl_free(acl);
    struct File {
        const char* name;
        unsigned mode;
        uid_t owner;
        gid_t group;
    };
    const std::vector<File> files { { "a", 0644, 0, 0 }, { "b", 0640, 0, 0 }, { "c", 0600, 0, 0 },
        { "d", 0604, 0, 0 }, { "e", 0664, nobody, users }, { "f", 0640, 0, users }, { "g", 0444, 0, 0 },
        { "h", 04755, 0, 0 } };
    korv::platform::stepHook = recordStep;
    for (const mode_t mask : { 022, 077 }) {
        const mode_t oldMask = ::umask(mask);
        for (const char* dir : { "plain", "setgid", "acl" }) {
            if (std::string(dir) == "acl" && !withAcl)
                continue;
            madeAs.clear();
            renamedTo.clear();
            KFsConversionBatch batch;
            for (const File& f : files) {
                const std::string t = path(dir) + "/" + f.name;
                writeFile(t, qtCrypted(t));
                ASSERT_EQ(::chown(t.c_str(), f.owner, f.group), 0);
                setPermissions(t, f.mode);
                batch.add(KFsConversionBatch::Decrypt, t, t);
            }
            EXPECT_TRUE(batch.commit()) << dir;
            std::size_t asFinal = 0;
            for (const auto& [made, target] : renamedTo) {
                const struct stat end = statOf(target), start = madeAs[made];
                const unsigned startMode = start.st_mode & 07777, endMode = end.st_mode & 07777;
                const std::string what = target + " umask " + std::to_string(mask);
                EXPECT_EQ(startMode & ~endMode, 0u) << what << ": " << std::oct << startMode;
                if (start.st_uid != end.st_uid || start.st_gid != end.st_gid) {
                    EXPECT_EQ(startMode & 077, 0u) << what << ": " << std::oct << startMode;
                }
                asFinal += startMode == endMode && startMode != 0600;
            }
            EXPECT_EQ(renamedTo.size(), files.size()) << dir;
            for (const File& f : files) {
                const std::string t = path(dir) + "/" + f.name;
                const struct stat st = statOf(t);
                EXPECT_TRUE(readFile(t) == t) << t;
                // A read-only file is left writable, as every replaced one.
                const unsigned mode = f.mode | (f.mode & 0200 ? 0 : 0200);
                EXPECT_EQ(st.st_mode & 07777, mode) << t << " umask " << std::oct << mask;
                EXPECT_TRUE(st.st_uid == f.owner && st.st_gid == f.group) << t;
            }
            // The files of root's own group in a plain directory are made as
            // they end: the case the batch saves its calls on.
            if (std::string(dir) == "plain" && mask == 022) {
                EXPECT_GE(asFinal, 3u);
            }
        }
        ::umask(oldMask);
    }
}
