#ifndef MAD_APP_CDOWNLOADPOOL_H
#define MAD_APP_CDOWNLOADPOOL_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class CHTTPClient;
class CTCPImpl;

// A fixed number of worker threads that run downloads side by side. Each worker owns its own TCP
// factory and the HTTP client bound to it (set up once by the configure hook), so no network
// object is ever shared between threads. One owner thread starts work, at most one item per
// free worker, and collects the tickets of finished work; whatever a work item wrote for its
// owner is safe to read once its ticket has been collected. A work item must not throw; if it
// does, its ticket is still reported. Destruction waits for the work in flight.
class CDownloadPool {
public:
    using Work = std::function<void(CHTTPClient& http)>;
    // Sets up a worker's factory and client once, before its thread starts.
    using Configure = std::function<void(CTCPImpl& tcp, CHTTPClient& http)>;

    // At least one worker; fewer than asked for when the system runs out of threads, and
    // std::system_error when it cannot start a single one.
    CDownloadPool(unsigned int workers, const Configure& configure);
    ~CDownloadPool();
    CDownloadPool(const CDownloadPool&) = delete;
    CDownloadPool& operator=(const CDownloadPool&) = delete;

    // Tickets started and not yet collected.
    std::size_t InFlight() const { return m_uiInFlight; }
    bool HasFreeWorker() const { return m_uiBusy < m_workers.size(); }
    // No ticket in flight and every worker seen free: WaitFinished would have nothing to wait for.
    bool Idle() const { return m_uiInFlight == 0 && m_uiBusy == 0; }

    // Hands work to a free worker; false (nothing started) when every worker is busy. Work
    // completedLater is finished only by Complete(ticket), which it must see to (a throw aside).
    bool Start(std::size_t ticket, Work work, bool completedLater = false);
    // Finishes a ticket started as completed later; any thread may call it, once per ticket. While
    // other work runs the owner learns of it at the next return at the latest.
    void Complete(std::size_t ticket);
    // The tickets finished since the last call, oldest first. Unless idle, blocks until a ticket
    // finished or a worker became free (then possibly none, and a worker may still be busy after
    // its ticket was reported); none at once when idle.
    std::vector<std::size_t> WaitFinished();

private:
    class Worker;

    void Run(CHTTPClient& http);
    // Lets the workers finish the queue, then joins them.
    void Stop();

    std::vector<std::unique_ptr<Worker>> m_workers;
    // Owner-thread counts: started, uncollected tickets, and workers not yet seen free again.
    std::size_t m_uiInFlight = 0;
    std::size_t m_uiBusy = 0;

    std::mutex m_mutex;
    std::condition_variable m_workReady;
    std::condition_variable m_workDone;
    struct Item {
        std::size_t ticket;
        Work work;
        bool completedLater;
    };
    std::deque<Item> m_queue;
    std::vector<std::size_t> m_finished;
    // Workers whose work returned since the owner last looked.
    std::size_t m_uiReturned = 0;
    // Items queued or running whose work has not returned.
    std::size_t m_uiRunning = 0;
    bool m_bStopping = false;
};

#endif
