#ifndef MAD_APP_CMAPCOMMITTER_H
#define MAD_APP_CMAPCOMMITTER_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class CAtomicFile;

// Puts finished files in place from one thread of its own, so that whoever wrote one goes on at
// once: each file handed over is committed (flushed, then renamed over its target) by
// CAtomicFile::Commit, with its guarantees. The files waiting are taken in batches: the writeback
// of every one is started before the first is waited for, so a batch costs about one flush of the
// disk instead of one per file. Files are committed in the order they were handed over, and each
// one's continuation runs on this thread right after its rename or its failure (its temporary
// file then removed), never before. Owns the files handed over; destruction commits every one
// still waiting, then joins. Syncing the directory the files were renamed in is the caller's.
class CMapCommitter final {
public:
    // 0 when the file is in place, else the errno of its flush or rename.
    using Then = std::function<void(int error)>;

    // std::system_error when no thread can be had.
    CMapCommitter();
    ~CMapCommitter();
    CMapCommitter(const CMapCommitter&) = delete;
    CMapCommitter& operator=(const CMapCommitter&) = delete;

    // Queues an open, completely written file; any thread may call it.
    void Commit(std::unique_ptr<CAtomicFile> file, Then then);

private:
    struct Item {
        std::unique_ptr<CAtomicFile> file;
        Then then;
    };

    void Run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Item> m_queue;
    bool m_bStopping = false;
    // Last, so it starts after the members it uses and is joined before they go.
    std::thread m_thread;
};

#endif
