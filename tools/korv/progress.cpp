// Counting a batch, its progress line and its summary.
#include "progress.h"

#include "output.h"

#include <cstdio>

namespace korv {

Progress::Progress(std::size_t totalFiles, std::uint64_t totalBytes, const char* verb)
    : _totalFiles(totalFiles)
    , _totalBytes(totalBytes)
    , _verb(verb)
{
}

Progress::~Progress()
{
    stop();
}

void Progress::start()
{
    if (Output::instance().progressAllowed())
        _thread = std::thread([this] { run(); });
}

void Progress::stop()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stopping = true;
    }
    _wake.notify_all();
    if (_thread.joinable()) {
        _thread.join();
        Output::instance().clearProgress();
    }
}

void Progress::count(Outcome outcome, std::uint64_t bytesIn, std::uint64_t bytesOut)
{
    switch (outcome) {
    case Outcome::Done:
        ++_done;
        break;
    case Outcome::Skipped:
        ++_skipped;
        break;
    case Outcome::Failed:
        ++_failed;
        break;
    case Outcome::Cancelled:
        ++_cancelled;
        break;
    }
    _bytesIn += bytesIn;
    _bytesOut += bytesOut;
}

double Progress::elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
}

void Progress::run()
{
    using namespace std::chrono_literals;
    std::unique_lock<std::mutex> lock(_mutex);
    // Short work gets no line at all: it would only flicker.
    if (_wake.wait_for(lock, 1s, [this] { return _stopping; }))
        return;
    do
        Output::instance().drawProgress(line());
    while (!_wake.wait_for(lock, 250ms, [this] { return _stopping; }));
}

std::string Progress::line() const
{
    const std::size_t files = _done + _skipped + _failed + _cancelled;
    const double seconds = elapsed();
    const double bytes = double(_bytesIn.load());
    const double rate = seconds > 0 ? bytes / seconds : 0;
    char text[200];
    int n = std::snprintf(text, sizeof text, "%zu/%zu files, %s of %s, %s/s", files, _totalFiles,
        humanBytes(bytes).c_str(), humanBytes(double(_totalBytes)).c_str(), humanBytes(rate).c_str());
    if (rate > 0 && bytes < double(_totalBytes)) {
        const long left = long((double(_totalBytes) - bytes) / rate);
        std::snprintf(text + n, sizeof text - std::size_t(n), ", %ld:%02ld left", left / 60, left % 60);
    }
    return text;
}

std::string Progress::summary(bool interrupted) const
{
    char text[300];
    std::snprintf(text, sizeof text, "%s%zu %s %s, %zu skipped, %zu failed; %s in, %s out; %.2f s",
        interrupted ? "interrupted: " : "", _done.load(), _done == 1 ? "file" : "files", _verb,
        _skipped.load(), _failed.load(), humanBytes(double(_bytesIn.load())).c_str(),
        humanBytes(double(_bytesOut.load())).c_str(), elapsed());
    std::string result = text;
    if (interrupted) {
        const std::size_t finished = _done + _skipped + _failed;
        std::snprintf(text, sizeof text, "; %zu not done (left as they were)", _totalFiles - finished);
        result += text;
    }
    return result;
}

std::string Progress::jsonSummary(const std::string& command, int status) const
{
    const std::size_t finished = _done + _skipped + _failed;
    char text[400];
    std::snprintf(text, sizeof text,
        "{\"summary\":true,\"command\":\"%s\",\"files\":%zu,\"done\":%zu,\"skipped\":%zu,"
        "\"failed\":%zu,\"not_done\":%zu,\"bytes_in\":%llu,\"bytes_out\":%llu,\"seconds\":%.3f,"
        "\"status\":%d}\n",
        command.c_str(), _totalFiles, _done.load(), _skipped.load(), _failed.load(), _totalFiles - finished,
        (unsigned long long)_bytesIn.load(), (unsigned long long)_bytesOut.load(), elapsed(), status);
    return text;
}

} // namespace korv
