// korv: crypt, decrypt, cat, test, info and checksums of crypted files, over
// trees and in parallel. Parses the command line and runs the batch.
#include "cat.h"
#include "jobs.h"
#include "operations.h"
#include "options.h"
#include "output.h"
#include "progress.h"
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

int runBatch(const Options& o)
{
    Output& out = Output::instance();
    installStopHandlers();
    const WalkResult w = walk(o.paths, o.recursive);
    if (!o.output.empty() && w.files.size() != 1)
        return w.failed ? 1 : 2;
    std::uint64_t totalBytes = 0;
    for (const FileItem& f : w.files)
        totalBytes += f.size;

    Progress progress(w.files.size(), totalBytes, verbOf(o));
    progress.countWalk(w.skipped, w.failed);
    progress.start();
    if (o.command == Command::Info && !o.json && !o.quiet)
        out.data(infoHeader());
    out.resetOrder();
    runJobs(w.files.size(), o.jobs > 0 ? o.jobs : cpuCount(), [&](std::size_t i) {
        const FileResult r = processFile(o, w.files[i]);
        progress.count(r.outcome, r.bytesIn, r.bytesOut);
        out.report(i, r.report);
    });
    progress.stop();

    const int stopped = stopStatus();
    const bool batch = w.files.size() > 1 || o.recursive || o.verbose;
    if (stopped != kBrokenPipeStatus && (stopped || (batch && o.command != Command::Info)))
        out.message(progress.summary(stopped != 0));
    if (stopped)
        return stopped;
    return progress.anyFailed() ? 1 : 0;
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
    case Parsed::UsageError:
        std::fprintf(stderr, "korv: %s\nTry 'korv --help' for more information.\n", error.c_str());
        return 2;
    case Parsed::Run:
        break;
    }
    Output::instance().setQuiet(o.quiet);
    if (o.command == Command::Cat)
        return catFiles(o.paths);
    if (o.toStdout) {
        std::vector<std::string> files;
        int status = 0;
        if (!o.paths.empty()) {
            const WalkResult w = walk(o.paths, o.recursive);
            for (const FileItem& f : w.files)
                files.push_back(f.path);
            status = w.failed ? 1 : 0;
        }
        const int catStatus = catFiles(files);
        return catStatus ? catStatus : status;
    }
    return runBatch(o);
}
