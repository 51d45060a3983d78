// What korv does to one file for each subcommand, and the reading of crypted
// content through the library's device that cat and test share.
#pragma once

#include "options.h"
#include "progress.h"
#include "walk.h"

#include <KFsConversionBatch.h>
#include <QFile>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <string>
#include <vector>

class KFsCryptedDevice;

namespace korv {

struct FileResult {
    Outcome outcome = Outcome::Done;
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
    std::string report; // for stdout, whole lines (may be empty)
    std::string fields; // with --json, the command's own fields: ,"name":value...
    std::string target; // the result's path when it is not the file itself
    std::string code; // why it failed, as errorCode() names it
    std::string message; // why it failed or was skipped, or a warning
};

// Runs the subcommand of `options` on one file. Failures and notes are
// printed at once; the report line is the caller's to print in order.
FileResult processFile(const Options& options, const FileItem& item);

// The conversions (crypt, decrypt) of one worker thread, made durable
// together: each file's result is handed to `done` once its new content is
// in place (on disk for conversions in place), never before.
class ConversionQueue {
public:
    using Done = std::function<void(std::size_t index, const FileResult& result)>;
    // At most `window` files wait for their commit at once, in each of the
    // two batches below (each holds a descriptor open).
    ConversionQueue(const Options& options, Done done, std::size_t window);
    ~ConversionQueue();
    // Converts the file now, or hands out its failure or skip at once.
    void add(std::size_t index, const FileItem& item);
    // Commits what waits and hands out its results.
    void flush();

private:
    struct Waiting {
        std::size_t index;
        const FileItem* item;
        std::string target;
        std::size_t entry; // in the batch
    };
    struct Batch {
        explicit Batch(KFsConversionBatch::Durability d) : batch(d) { }
        KFsConversionBatch batch;
        std::vector<Waiting> waiting;
    };
    // One batch fills while the one before commits on a thread of its own,
    // so that its syncs do not stop the conversions.
    void startCommit();
    void finishCommit();

    const Options& _options;
    Done _done;
    std::size_t _window;
    std::unique_ptr<Batch> _filling, _committing;
    std::thread _committer;
};

// True for the subcommands a ConversionQueue does.
bool isConversion(const Options& options);

// The --json line of one file.
std::string jsonReport(const Options& options, const FileItem& item, const FileResult& result);

// The column heads of `korv info` without --json.
std::string infoHeader();

// An open device on the plain content of `path` ("-": standard input).
// Regular files go by name when Qt can represent it; other names, standard
// input and (with allowSpecial) pipes go through a file descriptor.
struct Source {
    std::unique_ptr<QFile> file;
    std::unique_ptr<KFsCryptedDevice> device;
    ~Source();
};
struct Failure {
    std::string code; // as errorCode() names it
    std::string message;
};
bool openSource(const std::string& path, bool allowSpecial, Source& source, Failure& failure);

// The reason the device gives for its last failure.
Failure deviceError(const KFsCryptedDevice& device);

} // namespace korv
