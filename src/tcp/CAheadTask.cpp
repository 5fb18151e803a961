#include "tcp/CAheadTask.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

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
        if (!pool) return;
        lock.lock();
        ++pool->idle;
        const bool woken = pool->wake.wait_for(lock, kIdleLife, [&] { return pool->closing || !pool->jobs.empty(); });
        --pool->idle;
        if (!woken || pool->jobs.empty()) return;
        job = std::move(pool->jobs.front());
        pool->jobs.pop_front();
        lock.unlock();
    }
}

}  // namespace

CAheadTask::Pool::Pool() : m_shared(std::make_shared<Shared>()) {}

CAheadTask::Pool::~Pool() {
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->closing = true;
    m_shared->wake.notify_all();
}

CAheadTask::~CAheadTask() { Wait(); }

void CAheadTask::Start(Pool* pool, std::function<void()> job) {
    Wait();
    auto state = std::make_shared<State>();
    state->job = std::move(job);
    std::shared_ptr<Shared> shared = pool != nullptr ? pool->m_shared : nullptr;
    if (shared) {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        // Only as many jobs wait as threads are idle to take them, so none waits behind another.
        if (shared->idle > shared->jobs.size()) {
            shared->jobs.push_back(state);
            shared->wake.notify_one();
            m_state = std::move(state);
            return;
        }
    }
    std::thread([shared, state] { Serve(shared, state); }).detach();
    m_state = std::move(state);
}

void CAheadTask::Wait() {
    if (!m_state) return;
    {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        m_state->finished.wait(lock, [this] { return m_state->done; });
    }
    m_state.reset();
}
