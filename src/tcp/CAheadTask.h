#ifndef MAD_TCP_CAHEADTASK_H
#define MAD_TCP_CAHEADTASK_H

#include <functional>
#include <memory>
#include <thread>

// One job run beside its owner, as a std::thread would run it, on a thread a pool kept from an
// earlier job when one is idle: a connection opened ahead for every map then costs no thread
// creation and teardown. A job never waits behind another: with no idle thread a new one is made.
// Every thread is joined by its owner, the pool or the task: none outlives them, so none is still
// ending (and tearing down the TLS library's state for its thread) while the process exits.
class CAheadTask final {
public:
    // Threads kept between jobs. A thread left idle ends after a few seconds without a job and is
    // joined at the next Start; the pool's destructor ends the idle ones and joins every thread,
    // waiting for running jobs (their owners wait for them first).
    class Pool final {
    public:
        Pool();
        ~Pool();
        Pool(const Pool&) = delete;
        Pool& operator=(const Pool&) = delete;

        struct Shared;

    private:
        friend class CAheadTask;
        std::shared_ptr<Shared> m_shared;  // also held by each thread
    };

    CAheadTask() = default;
    // Waits for a job still running.
    ~CAheadTask();
    CAheadTask(const CAheadTask&) = delete;
    CAheadTask& operator=(const CAheadTask&) = delete;

    // Runs job (after waiting for the one before) on a thread of pool, or on a thread of its own
    // when pool is null. Throws std::system_error, running nothing, when no thread can be had.
    void Start(Pool* pool, std::function<void()> job);
    // Whether a job was started and not yet waited for.
    bool Pending() const { return static_cast<bool>(m_state); }
    // Waits until the job has finished; its effects are visible to the caller from then on.
    void Wait();

    struct State;

private:
    std::shared_ptr<State> m_state;
    std::thread m_thread;  // the job's own thread, when it had no pool
};

#endif
