#include "app/CDownloadPool.h"

#include <memory>
#include <system_error>

#include "http/CHTTPClient.h"
#include "tcp/CTCPImpl.h"

// One thread with the network objects only it uses.
class CDownloadPool::Worker {
public:
    Worker(CDownloadPool& pool, const Configure& configure) : m_http(&m_tcp) {
        if (configure) configure(m_tcp, m_http);
        m_thread = std::thread([this, &pool] { pool.Run(m_http); });
    }
    ~Worker() { m_thread.join(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

private:
    CTCPImpl m_tcp;
    CHTTPClient m_http;
    std::thread m_thread;
};

CDownloadPool::CDownloadPool(unsigned int workers, const Configure& configure) {
    const unsigned int count = workers == 0 ? 1 : workers;
    m_workers.reserve(count);
    try {
        for (unsigned int i = 0; i < count; ++i) m_workers.push_back(std::make_unique<Worker>(*this, configure));
    } catch (const std::system_error&) {
        // Fewer threads than asked for still work; none at all is the caller's to handle.
        if (m_workers.empty()) throw;
    } catch (...) {
        // The destructor will not run: the workers already started must end before the members
        // they wait on go.
        Stop();
        throw;
    }
}

void CDownloadPool::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
    }
    m_workReady.notify_all();
    // Each worker finishes the queue before it sees the stop; the joins wait for that.
    m_workers.clear();
}

CDownloadPool::~CDownloadPool() { Stop(); }

bool CDownloadPool::Start(std::size_t ticket, Work work, bool completedLater) {
    if (!HasFreeWorker()) return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(Item{ticket, std::move(work), completedLater});
        ++m_uiRunning;
    }
    ++m_uiInFlight;
    ++m_uiBusy;
    m_workReady.notify_one();
    return true;
}

void CDownloadPool::Complete(std::size_t ticket) {
    // Notified under the lock: once the owner has seen the ticket it may destroy this pool. While
    // work runs, the owner is woken by its return and takes the ticket then: one wake-up per item.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finished.push_back(ticket);
    if (m_uiRunning == 0) m_workDone.notify_one();
}

std::vector<std::size_t> CDownloadPool::WaitFinished() {
    std::vector<std::size_t> finished;
    if (Idle()) return finished;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_workDone.wait(lock, [this] { return !m_finished.empty() || m_uiReturned != 0; });
    finished.swap(m_finished);
    m_uiBusy -= m_uiReturned;
    m_uiReturned = 0;
    m_uiInFlight -= finished.size();
    return finished;
}

void CDownloadPool::Run(CHTTPClient& http) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_workReady.wait(lock, [this] { return m_bStopping || !m_queue.empty(); });
        if (m_queue.empty()) return;
        Item item = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        bool reported = item.completedLater;
        try {
            item.work(http);
        } catch (...) {
            // A thread must not end by an exception; the owner still learns the ticket. Work that
            // threw has handed nothing on.
            reported = false;
        }
        lock.lock();
        if (!reported) m_finished.push_back(item.ticket);
        --m_uiRunning;
        ++m_uiReturned;
        m_workDone.notify_one();
    }
}
