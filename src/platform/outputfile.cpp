// What OutputFile and the file helpers share on every platform: the parts
// that make no system call themselves (outputfile_*.cpp make them), and the
// test seams both platforms have.
#include "outputfile_p.h"
#include "platform_p.h"
#include "testhooks_p.h"

#include "cancel_p.h"

#include <cerrno>
#include <random>

namespace korv::platform {

std::atomic<CommitHook> beforeCommit { nullptr };
std::atomic<RemoveFault> removeFault { nullptr };
std::atomic<StepHook> stepHook { nullptr };
std::atomic<SkipSync> skipDataSync { nullptr };

OutputFile::OutputFile() = default;

OutputFile::~OutputFile()
{
    discard();
}

bool OutputFile::create(const std::string& target, WriteMode mode)
{
    PathFacts facts;
    (void)lookAt(target, facts);
    return create(target, facts, mode);
}

std::string uniqueCandidate(const std::string& dir, const std::string& prefix)
{
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 random { std::random_device {}() };
    std::string candidate = dir + "/" + prefix;
    for (int i = 0; i < 10; ++i)
        candidate += alphabet[random() % (sizeof alphabet - 1)];
    return candidate;
}

bool OutputFile::commit(bool sync)
{
    if (_fd == -1 || _failed || _map)
        return false;
    if (_route == Route::Beside || _route == Route::Overwrite) {
        if (const CommitHook hook = beforeCommit.load())
            hook(_temporary);
    }
    // A stop asked for now still leaves every existing file as it was; the
    // destruction drops the new content.
    if (cancelRequested())
        return failWith(ECANCELED);
    bool ok = false;
    switch (_route) {
    case Route::WorkingCopy:
    case Route::Into:
        return closeNow();
    case Route::Beside:
        ok = commitBeside(sync);
        break;
    case Route::Overwrite:
        ok = commitOverwrite();
        break;
    }
    discard();
    return ok;
}

RemoveResult removeFile(const std::string& path)
{
    const RemoveFault fault = removeFault.load();
    if (fault && fault(path))
        return RemoveResult::Failed;
    return removeNow(path);
}

} // namespace korv::platform
