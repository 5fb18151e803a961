#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "app/CDownloadPool.h"

namespace {

TEST(DownloadPoolTest, RunsAtMostOneItemPerWorkerEachWithItsOwnClientAndReportsEveryTicket)
{
    CDownloadPool pool(3, nullptr);
    std::atomic<int> running{0};
    std::atomic<int> mostRunning{0};
    std::mutex mutex;
    std::set<CHTTPClient*> clients;
    std::vector<std::size_t> collected;
    auto work = [&](CHTTPClient& http) {
        const int now = ++running;
        int seen = mostRunning.load();
        while (now > seen && !mostRunning.compare_exchange_weak(seen, now)) {
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            clients.insert(&http);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        --running;
    };

    for (std::size_t ticket = 0; ticket < 3; ++ticket)
        ASSERT_TRUE(pool.Start(ticket, work));
    EXPECT_FALSE(pool.Start(99, work));  // every worker is busy until its ticket is collected
    for (std::size_t ticket = 3; ticket < 10; ++ticket) {
        while (!pool.HasFreeWorker()) {
            for (std::size_t done : pool.WaitFinished())
                collected.push_back(done);
        }
        ASSERT_TRUE(pool.Start(ticket, work));
    }
    while (pool.InFlight() != 0) {
        for (std::size_t done : pool.WaitFinished())
            collected.push_back(done);
    }

    std::sort(collected.begin(), collected.end());
    EXPECT_EQ((std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), collected);
    EXPECT_EQ(3, mostRunning.load());
    EXPECT_EQ(3u, clients.size());
    EXPECT_TRUE(pool.WaitFinished().empty());
}

}  // namespace
