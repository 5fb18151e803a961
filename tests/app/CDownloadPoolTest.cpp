#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "app/CDownloadPool.h"

namespace {

TEST(DownloadPoolTest, RunsAtMostOneItemPerWorkerEachWithItsOwnClientAndReportsEveryTicket) {
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

    for (std::size_t ticket = 0; ticket < 3; ++ticket) ASSERT_TRUE(pool.Start(ticket, work));
    EXPECT_FALSE(pool.Start(99, work));  // every worker is busy until its ticket is collected
    for (std::size_t ticket = 3; ticket < 10; ++ticket) {
        while (!pool.HasFreeWorker()) {
            for (std::size_t done : pool.WaitFinished()) collected.push_back(done);
        }
        ASSERT_TRUE(pool.Start(ticket, work));
    }
    while (pool.InFlight() != 0) {
        for (std::size_t done : pool.WaitFinished()) collected.push_back(done);
    }

    std::sort(collected.begin(), collected.end());
    EXPECT_EQ((std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), collected);
    EXPECT_EQ(3, mostRunning.load());
    EXPECT_EQ(3u, clients.size());
    EXPECT_TRUE(pool.WaitFinished().empty());
}

// Work completed later frees its worker when it returns and reports its ticket only when
// completed, from whatever thread and in whichever order: a ticket reported before its work
// returned still leaves the worker busy until then, and the owner can wait for that.
TEST(DownloadPoolTest, WorkCompletedLaterFreesItsWorkerOnReturnAndReportsItsTicketOnComplete) {
    CDownloadPool pool(1, nullptr);
    ASSERT_TRUE(pool.Start(
        0,
        [&pool](CHTTPClient&) {
            pool.Complete(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        },
        true));
    std::vector<std::size_t> collected;
    while (collected.empty()) collected = pool.WaitFinished();
    EXPECT_EQ(std::vector<std::size_t>{0}, collected);
    // The worker is likely still asleep: one wait sees it free.
    if (!pool.HasFreeWorker()) {
        EXPECT_TRUE(pool.WaitFinished().empty());
    }
    EXPECT_TRUE(pool.HasFreeWorker());

    std::atomic<bool> returned{false};
    ASSERT_TRUE(pool.Start(
        1, [&returned](CHTTPClient&) { returned = true; }, true));
    while (!pool.HasFreeWorker()) EXPECT_TRUE(pool.WaitFinished().empty());
    EXPECT_TRUE(returned);
    EXPECT_EQ(1u, pool.InFlight());
    std::thread completer([&pool] { pool.Complete(1); });
    collected.clear();
    while (collected.empty()) collected = pool.WaitFinished();
    completer.join();
    EXPECT_EQ(std::vector<std::size_t>{1}, collected);
    EXPECT_TRUE(pool.Idle());
}

// A set-up that fails for the second worker, after the first one's thread runs: the constructor
// ends the first worker before its state goes, and throws, rather than hang on it. In a child
// process with an alarm, so a hang fails the test instead of the whole run.
TEST(DownloadPoolTest, SetUpThatFailsAfterAWorkerStartedEndsItAndThrows) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(5);
        int calls = 0;
        try {
            CDownloadPool pool(2, [&calls](CTCPImpl&, CHTTPClient&) {
                if (++calls == 2) throw std::runtime_error("set-up failed");
            });
        } catch (const std::runtime_error&) {
            _exit(0);
        }
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status) << " (SIGALRM: it hung)";
    EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
