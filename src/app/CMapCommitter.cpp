#include "app/CMapCommitter.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include "fs/CAtomicFile.h"

CMapCommitter::CMapCommitter(unsigned int threads) : m_uiMostHeld(threads == 0 ? 1 : threads) {
    const unsigned int count = threads == 0 ? 1 : threads;
    m_threads.reserve(count);
    try {
        for (unsigned int i = 0; i < count; ++i) m_threads.emplace_back([this] { Run(); });
    } catch (const std::system_error&) {
        // Fewer threads than asked for still commit everything; none at all is the caller's.
        if (m_threads.empty()) throw;
    }
}

CMapCommitter::~CMapCommitter() { Stop(); }

void CMapCommitter::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
    }
    m_wake.notify_all();
    for (std::thread& thread : m_threads) thread.join();
    m_threads.clear();
}

void CMapCommitter::Commit(Prepare prepare, Then then) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_room.wait(lock, [this] { return m_uiHeld < m_uiMostHeld; });
    m_queue.push_back(Item{std::move(prepare), std::move(then)});
    ++m_uiHeld;
    m_wake.notify_one();
}

void CMapCommitter::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_bStopping || !m_queue.empty(); });
        if (m_queue.empty()) return;
        Item item = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        int error = 0;
        try {
            std::unique_ptr<CAtomicFile> file = item.prepare ? item.prepare() : nullptr;
            if (file) error = file->Commit() ? 0 : file->Error();
        } catch (...) {
            // A thread must not end by an exception; a file it made is gone with its owner.
            error = ENOMEM;
        }
        if (item.then) item.then(error);
        lock.lock();
        --m_uiHeld;
        m_room.notify_one();
    }
}
