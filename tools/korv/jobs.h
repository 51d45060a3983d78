// The job pool that runs one function per file on N threads of korv's own,
// and the stop request that SIGINT, SIGTERM or a closed stdout raise.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

namespace korv {

// The status korv ends with when its stdout reader went away, as if killed
// by SIGPIPE.
constexpr int kBrokenPipeStatus = 128 + 13;

// Set by the handlers, read by the pool and by the library (its cancel flag),
// which then stops a conversion in flight, leaving the old file whole.
const std::atomic<bool>& stopFlag();
// Asks everything to stop; `status` is what korv will exit with.
void requestStop(int status);
// 0 while no stop was requested.
int stopStatus();

// SIGINT and SIGTERM raise the stop flag for batch work; a second signal
// ends the process at once, for whoever wants out whatever it costs.
// SIGPIPE is ignored: a closed stdout stops the batch as well, with status 141.
void installStopHandlers();

// Runs job(0) … job(count - 1) on `threads` threads (1: on this one), in
// order of index as far as threads allow; stops handing out new indices
// once the stop flag is raised. Returns how many jobs were started.
std::size_t runJobs(std::size_t count, int threads, const std::function<void(std::size_t)>& job);

// The same for work a thread holds back and finishes in groups: job(worker,
// index) on thread `worker` (0 … threads - 1), and finish(worker) on that
// thread after its last job.
std::size_t runJobs(std::size_t count, int threads, const std::function<void(int, std::size_t)>& job,
    const std::function<void(int)>& finish);
// How many threads runJobs() uses for count jobs.
int jobThreads(std::size_t count, int threads);

} // namespace korv
