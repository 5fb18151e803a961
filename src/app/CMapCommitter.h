#ifndef MAD_APP_CMAPCOMMITTER_H
#define MAD_APP_CMAPCOMMITTER_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CAtomicFile;

// Puts finished files in place from threads of its own, so that whoever wrote one goes on at
// once: each file handed over is committed (flushed, then renamed over its target) by
// CAtomicFile::Commit, with its guarantees. A few flushes run at once, since on a file system
// without a journal each one waits for its own write of the file's inode; the files waiting when
// a thread comes for work have their writeback started together first. Each file's continuation
// runs on the thread that committed it, right after its rename or its failure (its temporary
// file then removed), never before. Holds at most as many files as it has threads asked for:
// Commit waits for room, so a disk slower than the downloads holds them back instead of piling up
// open files. Owns the files handed over; destruction commits every one still waiting, then
// joins. Syncing the directory the files were renamed in is the caller's.
class CMapCommitter final {
public:
    // 0 when the file is in place, else the errno of its flush or rename.
    using Then = std::function<void(int error)>;

    // At least one thread; fewer than asked for when the system runs out of them, and
    // std::system_error when it cannot start a single one.
    explicit CMapCommitter(unsigned int threads);
    ~CMapCommitter();
    CMapCommitter(const CMapCommitter&) = delete;
    CMapCommitter& operator=(const CMapCommitter&) = delete;

    // Queues an open, completely written file, once there is room; any thread may call it.
    void Commit(std::unique_ptr<CAtomicFile> file, Then then);

private:
    struct Item {
        std::unique_ptr<CAtomicFile> file;
        Then then;
    };

    void Run();
    void Stop();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_room;
    std::deque<Item> m_queue;
    // Files queued or being committed, and how many may be.
    std::size_t m_uiHeld = 0;
    std::size_t m_uiMostHeld;
    // How many of the queue's first items have had their writeback started.
    std::size_t m_uiStarted = 0;
    bool m_bStopping = false;
    // Last, so they start after the members they use and are joined before those go.
    std::vector<std::thread> m_threads;
};

#endif
