#include "app/CMapCommitter.h"

#include <utility>
#include <vector>

#include "fs/CAtomicFile.h"

namespace {

// Enough to share one flush among all the downloads at once, few enough that the first map of a
// batch does not wait long for the last.
constexpr std::size_t kLargestBatch = 64;

}  // namespace

CMapCommitter::CMapCommitter() : m_thread([this] { Run(); }) {}

CMapCommitter::~CMapCommitter() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void CMapCommitter::Commit(std::unique_ptr<CAtomicFile> file, Then then) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(Item{std::move(file), std::move(then)});
    }
    m_wake.notify_one();
}

void CMapCommitter::Run() {
    std::vector<Item> batch;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_bStopping || !m_queue.empty(); });
        if (m_queue.empty()) return;
        while (!m_queue.empty() && batch.size() < kLargestBatch) {
            batch.push_back(std::move(m_queue.front()));
            m_queue.pop_front();
        }
        lock.unlock();
        for (Item& item : batch) item.file->StartFlush();
        for (Item& item : batch) {
            const int error = item.file->Commit() ? 0 : item.file->Error();
            item.file.reset();
            if (item.then) item.then(error);
        }
        batch.clear();
        lock.lock();
    }
}
