// KFsConversionBatch: conversions committed together, and the power-loss
// check of what reaches the disk in which order (batches and single calls).
#include "KFsConversionBatch.h"
#include "KFsCryptedFile.h"
#include "cancel_p.h"
#include "testhooks_p.h"
#include "testutil.h"

#include <algorithm>
#include <map>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

using namespace korvtest;

namespace {

class Batch : public TempDirTest {
protected:
    void TearDown() override
    {
        korv::platform::stepHook = nullptr;
        korv::platform::skipDataSync = nullptr;
        korv::platform::noRenameNoReplace = false;
        korv::platform::directorySyncFault = 0;
        KFsCryptedFile::setCancelFlag(nullptr);
        korv::clearCancelled();
    }
};

TEST_F(Batch, TargetsChangeOnlyAtTheCommitAndEachItemSaysHowItWent)
{
    const std::string plain = textContent(5000);
    writeFile(path("in"), qtCrypted(plain));
    writeFile(path("plain"), "not crypted");
    writeFile(path("source"), qtCrypted("to elsewhere"));
    KFsConversionBatch batch;
    const std::size_t inPlace = batch.add(KFsConversionBatch::Decrypt, path("in"), path("in"));
    const std::size_t toNewDir = batch.add(KFsConversionBatch::Decrypt, path("source"), path("new/dir/out"));
    const std::size_t plainCopy = batch.add(KFsConversionBatch::Decrypt, path("plain"), path("plain"));
    const std::size_t missing = batch.add(KFsConversionBatch::Crypt, path("nothing"), path("x"));
    const std::size_t crypt = batch.add(KFsConversionBatch::Crypt, path("plain"), path("plain.kr"));
    const std::size_t copy = batch.add(KFsConversionBatch::Decrypt, path("plain"), path("copy"));
    EXPECT_EQ(batch.size(), 6u);

    // Nothing replaced yet; the failure is known at once.
    EXPECT_EQ(readFile(path("in")), qtCrypted(plain));
    EXPECT_FALSE(fileExists(path("new/dir/out")));
    EXPECT_FALSE(fileExists(path("plain.kr")));
    EXPECT_EQ(batch.error(missing).code, KFsErrorCode::NotFound);
    EXPECT_FALSE(batch.done(inPlace));

    EXPECT_FALSE(batch.commit()); // one item failed
    EXPECT_TRUE(batch.done(inPlace) && batch.done(toNewDir) && batch.done(plainCopy) && batch.done(crypt));
    EXPECT_FALSE(batch.done(missing));
    EXPECT_EQ(readFile(path("in")), plain);
    EXPECT_EQ(batch.bytesWritten(inPlace), plain.size());
    EXPECT_EQ(batch.bytesWritten(copy), std::string("not crypted").size());
    EXPECT_EQ(readFile(path("copy")), "not crypted");
    EXPECT_TRUE(batch.crypted(inPlace));
    EXPECT_FALSE(batch.crypted(plainCopy));
    EXPECT_EQ(readFile(path("new/dir/out")), "to elsewhere");
    EXPECT_EQ(readFile(path("plain")), "not crypted");
    KFsCryptedFile::decrypt(path("plain.kr"), path("back"));
    EXPECT_EQ(readFile(path("back")), "not crypted");
    EXPECT_TRUE(batch.error(inPlace).ok());

    batch.clear();
    EXPECT_EQ(batch.size(), 0u);
    EXPECT_TRUE(batch.commit());
}

TEST_F(Batch, DroppedOrCancelledItemsLeaveEveryFileAsItWas)
{
    for (const bool cancel : { false, true }) {
        writeFile(path("a"), qtCrypted("a"));
        writeFile(path("b"), qtCrypted("b"));
        ::chmod(path("b").c_str(), 0444);
        std::atomic<bool> flag { false };
        {
            KFsConversionBatch batch;
            batch.add(KFsConversionBatch::Decrypt, path("a"), path("a"));
            batch.add(KFsConversionBatch::Decrypt, path("b"), path("b"));
            batch.add(KFsConversionBatch::Decrypt, path("a"), path("c"));
            if (cancel) {
                KFsCryptedFile::setCancelFlag(&flag);
                flag = true;
                EXPECT_FALSE(batch.commit());
                EXPECT_EQ(batch.error(1).code, KFsErrorCode::Cancelled);
                KFsCryptedFile::setCancelFlag(nullptr);
                korv::clearCancelled();
            }
        }
        EXPECT_EQ(readFile(path("a")), qtCrypted("a")) << cancel;
        EXPECT_EQ(readFile(path("b")), qtCrypted("b")) << cancel;
        EXPECT_EQ(permissions(path("b")), 0444u) << cancel;
        EXPECT_EQ(listDirectory(root()).size(), 2u) << cancel; // no new file left, no c
        ::chmod(path("b").c_str(), 0644);
    }
}

// Told not to replace, a batch refuses a target that exists (a dangling
// link too) at add(), and one that appears before the commit at the rename;
// in place is no replacing of another file.
TEST_F(Batch, TargetsThatExistAreLeftAloneWhenReplacingIsOff)
{
    writeFile(path("src"), qtCrypted("new"));
    writeFile(path("in"), qtCrypted("in place"));
    writeFile(path("plain"), "plain source");
    writeFile(path("old"), "keep");
    ASSERT_EQ(::symlink(path("nowhere").c_str(), path("dangling").c_str()), 0);
    KFsConversionBatch batch;
    batch.setReplaceExisting(false);
    const std::size_t existing = batch.add(KFsConversionBatch::Decrypt, path("src"), path("old"));
    const std::size_t link = batch.add(KFsConversionBatch::Decrypt, path("src"), path("dangling"));
    const std::size_t plainCopy = batch.add(KFsConversionBatch::Decrypt, path("plain"), path("old"));
    const std::size_t inPlace = batch.add(KFsConversionBatch::Decrypt, path("in"), path("in"));
    const std::size_t fresh = batch.add(KFsConversionBatch::Decrypt, path("src"), path("fresh"));
    const std::size_t late = batch.add(KFsConversionBatch::Crypt, path("plain"), path("late"));
    const std::size_t lateCopy = batch.add(KFsConversionBatch::Decrypt, path("plain"), path("late copy"));
    writeFile(path("late"), "appeared meanwhile");
    writeFile(path("late copy"), "appeared meanwhile");
    EXPECT_EQ(batch.error(existing).code, KFsErrorCode::Exists);
    EXPECT_EQ(batch.error(existing).path, QString::fromStdString(path("old")));
    EXPECT_EQ(batch.error(link).code, KFsErrorCode::Exists);
    EXPECT_EQ(batch.error(plainCopy).code, KFsErrorCode::Exists);

    EXPECT_FALSE(batch.commit());
    EXPECT_EQ(batch.error(late).code, KFsErrorCode::Exists);
    EXPECT_EQ(batch.error(lateCopy).code, KFsErrorCode::Exists);
    EXPECT_TRUE(batch.done(inPlace) && batch.done(fresh));
    EXPECT_FALSE(batch.done(existing) || batch.done(link) || batch.done(plainCopy) || batch.done(late)
        || batch.done(lateCopy));
    EXPECT_EQ(readFile(path("old")), "keep");
    EXPECT_EQ(readFile(path("late")), "appeared meanwhile");
    EXPECT_EQ(readFile(path("late copy")), "appeared meanwhile");
    EXPECT_EQ(readFile(path("in")), "in place");
    EXPECT_EQ(readFile(path("fresh")), "new");
    EXPECT_FALSE(fileExists(path("nowhere")));
    EXPECT_EQ(listDirectory(root()),
        (std::vector<std::string> { "dangling", "fresh", "in", "late", "late copy", "old", "plain", "src" }));
}

// Where renameat2 cannot refuse to replace, the commit still refuses a
// target that appeared, and leaves no second name behind.
TEST_F(Batch, ATargetThatAppearsIsKeptWithoutRenameNoReplace)
{
    korv::platform::noRenameNoReplace = true;
    writeFile(path("src"), qtCrypted("new"));
    KFsConversionBatch batch;
    batch.setReplaceExisting(false);
    const std::size_t late = batch.add(KFsConversionBatch::Decrypt, path("src"), path("late"));
    const std::size_t fresh = batch.add(KFsConversionBatch::Decrypt, path("src"), path("fresh"));
    writeFile(path("late"), "appeared meanwhile");
    EXPECT_FALSE(batch.commit());
    EXPECT_EQ(batch.error(late).code, KFsErrorCode::Exists);
    EXPECT_TRUE(batch.done(fresh));
    EXPECT_EQ(readFile(path("late")), "appeared meanwhile");
    EXPECT_EQ(readFile(path("fresh")), "new");
    EXPECT_EQ(listDirectory(root()), (std::vector<std::string> { "fresh", "late", "src" }));
}

// A directory that cannot be synced leaves its renames at the mercy of a
// crash: their items are not done, and each says why.
TEST_F(Batch, AFailedDirectorySyncFailsItsItemsWithTheSystemsReason)
{
    writeFile(path("a"), qtCrypted("a"));
    writeFile(path("b"), qtCrypted("b"));
    korv::platform::directorySyncFault = EACCES;
    KFsConversionBatch batch;
    batch.add(KFsConversionBatch::Decrypt, path("a"), path("a"));
    batch.add(KFsConversionBatch::Decrypt, path("b"), path("b"));
    EXPECT_FALSE(batch.commit());
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_FALSE(batch.done(i));
        EXPECT_EQ(batch.error(i).code, KFsErrorCode::PermissionDenied) << i;
    }
    EXPECT_EQ(readFile(path("b")), "b");
}

// A directory made for a target is as new as the target: the entries that
// lead to it are synced too before the item is done.
std::vector<std::string> syncedDirectories;

TEST_F(Batch, DirectoriesMadeForATargetAreSyncedIntoTheirParents)
{
    korv::platform::stepHook = +[](korv::platform::Step step, const std::string& path, const std::string&) {
        if (step == korv::platform::Step::SyncDirectory)
            syncedDirectories.push_back(path);
    };
    syncedDirectories.clear();
    writeFile(path("src"), qtCrypted("new"));
    KFsConversionBatch batch(KFsConversionBatch::Everything);
    batch.add(KFsConversionBatch::Decrypt, path("src"), path("made/below/file"));
    ASSERT_TRUE(batch.commit());
    EXPECT_EQ(readFile(path("made/below/file")), "new");
    std::sort(syncedDirectories.begin(), syncedDirectories.end());
    EXPECT_EQ(syncedDirectories, (std::vector<std::string> { root(), path("made"), path("made/below") }));
}

// The power-loss check. The platform reports each step that changes what a
// crash leaves behind; for every prefix of those steps, and for every prefix
// of the renames in each directory that were not yet synced, the disk is
// rebuilt as a file system may leave it: a file's content survives only as
// of its last data sync. Every target must then hold its whole old or whole
// new content, and every item reported done before the cut its new content.
struct Event {
    int step; // a korv::platform::Step, or kReported
    std::string path;
    std::string other;
};
constexpr int kReported = -1;
std::vector<Event> events;

void record(korv::platform::Step step, const std::string& path, const std::string& other)
{
    events.push_back({ int(step), path, other });
}

std::string directoryOf(const std::string& path)
{
    return path.substr(0, path.rfind('/'));
}

// What is wrong with the crash states after the first `cut` events; empty when nothing.
std::string checkCut(std::size_t cut, const std::set<std::string>& targets)
{
    using korv::platform::Step;
    std::set<std::string> synced, reported;
    // Per directory: renames made durable, and those still in flight.
    std::map<std::string, std::vector<const Event*>> durable, pending;
    for (std::size_t i = 0; i < cut; ++i) {
        const Event& e = events[i];
        if (e.step == kReported)
            reported.insert(e.path);
        else if (e.step == int(Step::SyncData))
            synced.insert(e.path);
        else if (e.step == int(Step::Rename))
            pending[directoryOf(e.other)].push_back(&e);
        else if (e.step == int(Step::SyncDirectory)) {
            auto& from = pending[e.path];
            auto& to = durable[e.path];
            to.insert(to.end(), from.begin(), from.end());
            from.clear();
        }
    }
    for (const std::string& target : targets) {
        const std::string dir = directoryOf(target);
        const auto& inFlight = pending[dir];
        for (std::size_t applied = 0; applied <= inFlight.size(); ++applied) {
            // The file at target: its old one unless a rename put a new one there.
            std::string file;
            for (const Event* e : durable[dir])
                if (e->other == target)
                    file = e->path;
            for (std::size_t i = 0; i < applied; ++i)
                if (inFlight[i]->other == target)
                    file = inFlight[i]->path;
            if (!file.empty() && !synced.count(file))
                return target + " holds content never synced (cut " + std::to_string(cut) + ")";
            if (file.empty() && reported.count(target))
                return target + " reported done but old after a crash (cut " + std::to_string(cut) + ")";
        }
    }
    return {};
}

std::string checkEveryCut(const std::set<std::string>& targets)
{
    for (std::size_t cut = 0; cut <= events.size(); ++cut) {
        const std::string problem = checkCut(cut, targets);
        if (!problem.empty())
            return problem;
    }
    return {};
}

TEST_F(Batch, EveryCrashLeavesOldOrNewAndKeepsWhatWasReported)
{
    korv::platform::stepHook = record;
    for (const bool skipOneSync : { false, true }) {
        events.clear();
        korv::platform::skipDataSync = skipOneSync
            ? +[](const std::string& file) { return file.find(".f3.") != std::string::npos; }
            : nullptr;
        ::mkdir(path("d").c_str(), 0755);
        std::set<std::string> targets;
        KFsConversionBatch batch;
        for (int i = 0; i < 6; ++i) {
            const std::string name = path((i % 2 ? "d/f" : "f") + std::to_string(i));
            writeFile(name, qtCrypted("new " + std::to_string(i)));
            // In place, and to targets that exist and that do not.
            const std::string target = i < 4 ? name : name + (i == 4 ? ".exists" : ".new");
            if (i == 4)
                writeFile(target, "old");
            batch.add(KFsConversionBatch::Decrypt, name, target);
            targets.insert(target);
        }
        // A plain source is copied, durably too.
        writeFile(path("plain"), "plain");
        batch.add(KFsConversionBatch::Decrypt, path("plain"), path("d/plain.copy"));
        targets.insert(path("d/plain.copy"));
        ASSERT_TRUE(batch.commit());
        for (const std::string& target : targets)
            events.push_back({ kReported, target, {} });
        // A single call in place, reported done when it returns.
        writeFile(path("single"), qtCrypted("single"));
        ASSERT_TRUE(KFsCryptedFile::decrypt(path("single"), path("single")));
        events.push_back({ kReported, path("single"), {} });
        targets.insert(path("single"));

        const std::string problem = checkEveryCut(targets);
        if (skipOneSync)
            EXPECT_NE(problem.find("never synced"), std::string::npos) << problem;
        else
            EXPECT_EQ(problem, "");
        std::size_t renames = 0;
        for (const Event& e : events)
            renames += e.step == int(korv::platform::Step::Rename);
        EXPECT_EQ(renames, 8u);
    }
}

} // namespace
