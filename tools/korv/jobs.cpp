// The thread pool, and the stop request (tools/common) it obeys.
#include "jobs.h"

#include "stop.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace korv {

const std::atomic<bool>& stopFlag()
{
    return korvtools::stopFlag();
}

void requestStop(int status)
{
    korvtools::requestStop(status);
}

int stopStatus()
{
    return korvtools::stopStatus();
}

void installStopHandlers()
{
    korvtools::stopOnRequests(false, true);
    // A reader of stdout that goes away must not kill a conversion midway:
    // the write sees EPIPE instead and the batch stops as for a signal.
    korvtools::survivePipeReaderGone();
}

std::size_t runJobs(std::size_t count, int threads, const std::function<void(std::size_t)>& job)
{
    return runJobs(count, threads, [&](int, std::size_t index) { job(index); }, [](int) {});
}

int jobThreads(std::size_t count, int threads)
{
    return threads > 1 ? int(std::min<std::size_t>(std::size_t(threads), std::max<std::size_t>(count, 1))) : 1;
}

std::size_t runJobs(std::size_t count, int threads, const std::function<void(int, std::size_t)>& job,
    const std::function<void(int)>& finish)
{
    std::atomic<std::size_t> next { 0 };
    std::atomic<std::size_t> started { 0 };
    const auto worker = [&](int id) {
        for (;;) {
            if (stopFlag().load())
                break;
            const std::size_t index = next.fetch_add(1);
            if (index >= count)
                break;
            started.fetch_add(1);
            job(id, index);
        }
        finish(id);
    };
    const int helpers = jobThreads(count, threads);
    std::vector<std::thread> pool;
    for (int i = 1; i < helpers; ++i)
        pool.emplace_back(worker, i);
    worker(0);
    for (std::thread& t : pool)
        t.join();
    return started.load();
}

} // namespace korv
