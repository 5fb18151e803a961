#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tcp/CAheadTask.h"

namespace {

// Jobs run so far on the calling thread.
thread_local int jobsHere = 0;

// A job's effects are seen once it is waited for; the next job runs on the thread the first left
// idle; two jobs at once never wait for each other, each gets a thread.
TEST(AheadTask, KeptThreadRunsTheNextJobAndBusyOnesAreNotWaitedFor) {
    CAheadTask::Pool pool;
    CAheadTask first, second;
    int firstSaw = -1, secondSaw = -1;
    first.Start(&pool, [&] { firstSaw = jobsHere++; });
    first.Wait();
    EXPECT_FALSE(first.Pending());
    EXPECT_EQ(0, firstSaw);
    EXPECT_EQ(0, jobsHere);  // not run here
    // The first thread turns idle just after its job; give it the moment to.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    second.Start(&pool, [&] { secondSaw = jobsHere++; });
    second.Wait();
    EXPECT_EQ(1, secondSaw);

    std::atomic<int> started{0}, met{0};
    const auto meetTheOther = [&] {
        ++started;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (started.load() < 2 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        if (started.load() == 2) ++met;
    };
    first.Start(&pool, meetTheOther);
    second.Start(&pool, meetTheOther);
    first.Wait();
    second.Wait();
    EXPECT_EQ(2, met.load());
}

// Threads of this process, as the kernel lists them.
int Threads() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(tasks))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(tasks);
    return count;
}

// No thread outlives its owner: one still ending while the process exits tore down the TLS
// library's state for its thread beside the library's own clean-up, a double free.
TEST(AheadTask, EveryThreadIsGoneWithItsOwner) {
    // A thread sanitizer starts a thread of its own with the first thread made.
    std::thread([] {}).join();
    const int before = Threads();
    ASSERT_GT(before, 0);
    {
        CAheadTask::Pool pool;
        CAheadTask first, second;
        first.Start(&pool, [] {});
        second.Start(&pool, [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
        first.Wait();
        second.Wait();
    }
    EXPECT_EQ(before, Threads());
    {
        CAheadTask alone;
        alone.Start(nullptr, [] {});
    }
    EXPECT_EQ(before, Threads());
}

}  // namespace
