// korv: crypt, decrypt, cat, test, info and checksums of crypted files, over
// trees and in parallel. Parses the command line and runs the batch.
#include "cat.h"
#include "jobs.h"
#include "names.h"
#include "operations.h"
#include "options.h"
#include "output.h"
#include "progress.h"
#include "sysinfo.h"
#include "walk.h"

#include <cstdio>

using namespace korv;

namespace {

const char* verbOf(const Options& o)
{
    switch (o.command) {
    case Command::Decrypt:
        return "decrypted";
    case Command::Crypt:
        return "crypted";
    case Command::Test:
        return "tested";
    case Command::Info:
        return "listed";
    case Command::Checksum:
        return o.checksum == ChecksumAction::Add   ? "given a checksum"
            : o.checksum == ChecksumAction::Verify ? "verified"
                                                   : "stripped of their checksum";
    default:
        return "done";
    }
}

// An unreadable list is a usage error: nothing has been touched yet.
int listFailed(const Options& o, const std::string& error)
{
    std::fprintf(stderr, "korv: cannot read the list %s: %s\n", o.listFile.c_str(), error.c_str());
    return 2;
}

int runBatch(const Options& o)
{
    Output& out = Output::instance();
    installStopHandlers();
    Names names(o.paths, o.listFile, o.listSeparator);
    const WalkResult w = walk(names, o.recursive);
    if (!w.listError.empty())
        return listFailed(o, w.listError);
    std::uint64_t totalBytes = 0;
    for (const FileItem& f : w.files)
        totalBytes += f.size;

    Progress progress(w.files.size(), totalBytes, verbOf(o));
    progress.start();
    if (o.command == Command::Info && !o.json && !o.quiet)
        out.data(infoHeader());
    out.resetOrder();
    const auto done = [&](std::size_t i, const FileResult& r) {
        progress.count(r.outcome, r.bytesIn, r.bytesOut);
        out.report(i, o.json ? jsonReport(o, w.files[i], r) : r.report);
    };
    const int threads = o.jobs > 0 ? o.jobs : cpuCount();
    // Each thread commits its own conversions: no lock, no sync shared.
    std::vector<std::unique_ptr<ConversionQueue>> queues;
    if (isConversion(o)) {
        const std::size_t queueCount = std::size_t(jobThreads(w.files.size(), threads));
        // Files waiting for their commit hold descriptors (up to two each, in
        // two batches a queue); what is left after a reserve for the rest is
        // shared out, so that many jobs under a low limit wait less, not fail.
        constexpr std::size_t kReserve = 64, kPerFile = 2, kBatches = 2;
        const std::size_t limit = openFileLimit();
        const std::size_t window
            = (limit > kReserve ? limit - kReserve : 0) / (queueCount * kPerFile * kBatches);
        for (std::size_t t = 0; t < queueCount; ++t)
            queues.push_back(std::make_unique<ConversionQueue>(o, done, window));
    }
    // Small files go to a worker a run at a time: neighbours in one
    // directory, so that the workers do not queue on the same directory's
    // lock and each batch touches few directories.
    std::vector<std::size_t> runs { 0 };
    constexpr std::size_t kRunFiles = 16;
    constexpr std::uint64_t kRunBytes = 1 << 20;
    std::uint64_t runBytes = 0;
    for (std::size_t i = 0; i < w.files.size(); ++i) {
        runBytes += w.files[i].size;
        if (i + 1 - runs.back() >= kRunFiles || runBytes >= kRunBytes) {
            runs.push_back(i + 1);
            runBytes = 0;
        }
    }
    if (runs.back() != w.files.size())
        runs.push_back(w.files.size());
    runJobs(
        runs.size() - 1, threads,
        [&](int worker, std::size_t run) {
            for (std::size_t i = runs[run]; i < runs[run + 1] && !stopFlag().load(); ++i) {
                if (!queues.empty())
                    queues[std::size_t(worker)]->add(i, w.files[i]);
                else
                    done(i, processFile(o, w.files[i]));
            }
        },
        [&](int worker) {
            if (!queues.empty())
                queues[std::size_t(worker)]->flush();
        });
    progress.stop();

    const int stopped = stopStatus();
    const bool batch = w.files.size() > 1 || o.recursive || o.verbose;
    if (stopped != kBrokenPipeStatus && (stopped || (batch && o.command != Command::Info)))
        out.message(progress.summary(stopped != 0));
    const int status = stopped ? stopped : progress.anyFailed() ? 1 : 0;
    if (o.json && stopped != kBrokenPipeStatus)
        out.data(progress.jsonSummary(commandName(o), status));
    return status;
}

// cat and decrypt -c: the plain content of every file, in turn.
int toStdout(const Options& o)
{
    Names names(o.paths, o.listFile, o.listSeparator);
    std::vector<std::string> files;
    int status = 0;
    if (o.command == Command::Cat) {
        std::string name;
        bool listed;
        while (names.next(name, listed))
            files.push_back(name);
        if (!names.error().empty())
            return listFailed(o, names.error());
        // No path at all is standard input, an empty list is nothing.
        if (files.empty() && o.listFile.empty())
            files.push_back("-");
    } else if (!o.paths.empty() || !o.listFile.empty()) {
        const WalkResult w = walk(names, o.recursive);
        if (!w.listError.empty())
            return listFailed(o, w.listError);
        for (const FileItem& f : w.files)
            if (!f.issue)
                files.push_back(f.path);
        status = w.failed ? 1 : 0;
    } else {
        files.push_back("-");
    }
    const int catStatus = catFiles(files);
    return catStatus ? catStatus : status;
}

} // namespace

int main(int argc, char* argv[])
{
    Options o;
    std::string error;
    switch (parseOptions(argc, argv, o, error)) {
    case Parsed::Help:
        std::fputs(helpText(o.command).c_str(), stdout);
        return 0;
    case Parsed::Version:
        std::puts("korv (KorvFileSystem) " KORV_VERSION);
        return 0;
    case Parsed::Completion:
        std::fputs(completionScript(o.completion).c_str(), stdout);
        return 0;
    case Parsed::UsageError:
        std::fprintf(stderr, "korv: %s\nTry 'korv --help' for more information.\n", error.c_str());
        return 2;
    case Parsed::Run:
        break;
    }
    Output::instance().setQuiet(o.quiet);
    prepareStandardStreams();
    if (o.command == Command::Cat || o.toStdout)
        return toStdout(o);
    return runBatch(o);
}
