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
// once: each file handed over is made by its prepare step on a committer thread (a map's check
// and stamp, its temporary file written), then committed (flushed, then renamed over its target)
// by CAtomicFile::Commit, with its guarantees. Several run at once, since on a file system without
// a journal each flush waits for its own write of the file's inode. Each file's continuation runs
// on the thread that committed it, right after its rename or its failure (its temporary file then
// removed), never before. Holds at most as many files as it has threads asked for: Commit waits
// for room, so a disk slower than the downloads holds them back instead of piling up open files
// and bodies. Destruction prepares and commits every one still waiting, then joins. Syncing the
// directory the files were renamed in is the caller's.
class CMapCommitter final {
public:
    // The complete, open file to put in place; null when there is none (the continuation then
    // gets 0). May throw: the continuation then gets ENOMEM.
    using Prepare = std::function<std::unique_ptr<CAtomicFile>()>;
    // 0 when the file is in place (or there was none), else the errno of its flush or rename.
    using Then = std::function<void(int error)>;

    // At least one thread; fewer than asked for when the system runs out of them, and
    // std::system_error when it cannot start a single one.
    explicit CMapCommitter(unsigned int threads);
    ~CMapCommitter();
    CMapCommitter(const CMapCommitter&) = delete;
    CMapCommitter& operator=(const CMapCommitter&) = delete;

    // Queues the making and commit of a file, once there is room; any thread may call it.
    void Commit(Prepare prepare, Then then);

private:
    struct Item {
        Prepare prepare;
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
    bool m_bStopping = false;
    // Last, so they start after the members they use and are joined before those go.
    std::vector<std::thread> m_threads;
};

#endif
