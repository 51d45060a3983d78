// The running count of a batch (files done, skipped, failed, bytes), the
// progress line drawn from it on a terminal, and the closing summary.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace korv {

enum class Outcome { Done, Skipped, Failed, Cancelled };

class Progress {
public:
    // `verb` names the work in the summary ("decrypted", "tested").
    Progress(std::size_t totalFiles, std::uint64_t totalBytes, const char* verb);
    // Stops the progress line.
    ~Progress();

    // Draws a progress line on stderr every few tenths of a second once the
    // work has taken a second, when stderr is a terminal and not -q.
    void start();
    void stop();

    void count(Outcome outcome, std::uint64_t bytesIn, std::uint64_t bytesOut);

    bool anyFailed() const { return _failed.load() > 0; }
    // "12 files decrypted, 1 skipped, 0 failed; 1.2 MB in, 3.4 MB out; 0.52 s".
    std::string summary(bool interrupted) const;
    // The same as a JSON object for --json, with korv's exit status.
    std::string jsonSummary(const std::string& command, int status) const;

private:
    void run();
    std::string line() const;
    double elapsed() const;

    const std::size_t _totalFiles;
    const std::uint64_t _totalBytes;
    const char* const _verb;
    const std::chrono::steady_clock::time_point _start = std::chrono::steady_clock::now();
    std::atomic<std::size_t> _done { 0 }, _skipped { 0 }, _failed { 0 }, _cancelled { 0 };
    std::atomic<std::uint64_t> _bytesIn { 0 }, _bytesOut { 0 };

    std::mutex _mutex;
    std::condition_variable _wake;
    bool _stopping = false;
    std::thread _thread;
};

} // namespace korv
