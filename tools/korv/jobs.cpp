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
    std::atomic<std::size_t> next { 0 };
    std::atomic<std::size_t> started { 0 };
    const auto worker = [&] {
        for (;;) {
            if (stopFlag().load())
                return;
            const std::size_t index = next.fetch_add(1);
            if (index >= count)
                return;
            started.fetch_add(1);
            job(index);
        }
    };
    const std::size_t helpers = threads > 1 ? std::min<std::size_t>(std::size_t(threads), count) : 1;
    std::vector<std::thread> pool;
    for (std::size_t i = 1; i < helpers; ++i)
        pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool)
        t.join();
    return started.load();
}

} // namespace korv
