#include "tcp/CAheadTask.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

struct CAheadTask::State {
    std::function<void()> job;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
};

struct CAheadTask::Pool::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<CAheadTask::State>> jobs;
    unsigned int idle = 0;
    bool closing = false;
    std::vector<std::thread> threads;    // every thread made and not yet joined
    std::vector<std::thread::id> ended;  // threads that took their last job, to be joined
};

namespace {

using Shared = CAheadTask::Pool::Shared;
using State = CAheadTask::State;

// How long a kept thread waits for its next job before it ends.
constexpr std::chrono::seconds kIdleLife(5);

void RunJob(State& state) {
    state.job();
    state.job = nullptr;
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.done = true;
    state.finished.notify_all();
}

void Serve(const std::shared_ptr<Shared>& pool, std::shared_ptr<State> job) {
    std::unique_lock<std::mutex> lock(pool->mutex, std::defer_lock);
    for (;;) {
        RunJob(*job);
        job.reset();
        lock.lock();
        ++pool->idle;
        const bool woken = pool->wake.wait_for(lock, kIdleLife, [&] { return pool->closing || !pool->jobs.empty(); });
        --pool->idle;
        if (!woken || pool->jobs.empty()) {
            pool->ended.push_back(std::this_thread::get_id());
            return;
        }
        job = std::move(pool->jobs.front());
        pool->jobs.pop_front();
        lock.unlock();
    }
}

}  // namespace

CAheadTask::Pool::Pool() : m_shared(std::make_shared<Shared>()) {}

// Takes the threads that have ended out of the pool, to be joined without its lock.
static std::vector<std::thread> TakeEnded(Shared& pool) {
    std::vector<std::thread> ended;
    for (const std::thread::id id : pool.ended) {
        const auto it = std::find_if(pool.threads.begin(), pool.threads.end(),
                                     [id](const std::thread& thread) { return thread.get_id() == id; });
        if (it == pool.threads.end()) continue;
        ended.push_back(std::move(*it));
        pool.threads.erase(it);
    }
    pool.ended.clear();
    return ended;
}

static void JoinAll(std::vector<std::thread>& threads) {
    for (std::thread& thread : threads) {
        // The last owner may let go of the pool on one of its own threads.
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }
}

CAheadTask::Pool::~Pool() {
    std::vector<std::thread> threads;
    {
        const std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->closing = true;
        m_shared->wake.notify_all();
        threads = std::move(m_shared->threads);
        m_shared->threads.clear();
    }
    JoinAll(threads);
}

CAheadTask::~CAheadTask() { Wait(); }

void CAheadTask::Start(Pool* pool, std::function<void()> job) {
    Wait();
    auto state = std::make_shared<State>();
    state->job = std::move(job);
    if (pool == nullptr) {
        m_thread = std::thread([state] { RunJob(*state); });
        m_state = std::move(state);
        return;
    }
    const std::shared_ptr<Shared>& shared = pool->m_shared;
    std::vector<std::thread> ended;
    {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        ended = TakeEnded(*shared);
        // Only as many jobs wait as threads are idle to take them, so none waits behind another.
        if (shared->idle > shared->jobs.size()) {
            shared->jobs.push_back(state);
            shared->wake.notify_one();
        } else {
            shared->threads.emplace_back([shared, state] { Serve(shared, state); });
        }
    }
    m_state = std::move(state);
    JoinAll(ended);
}

void CAheadTask::Wait() {
    if (!m_state) return;
    {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        m_state->finished.wait(lock, [this] { return m_state->done; });
    }
    m_state.reset();
    if (m_thread.joinable()) m_thread.join();
}
