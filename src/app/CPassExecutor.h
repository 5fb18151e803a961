#ifndef MAD_APP_CPASSEXECUTOR_H
#define MAD_APP_CPASSEXECUTOR_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include "app/CDownloadPool.h"
#include "app/COrderedPrinter.h"
#include "app/CPassPlanner.h"
#include "app/CPassResult.h"
#include "fs/CAtomicFile.h"
#include "fs/CDirectory.h"

class CHTTPClient;
class CMapCommitter;

// Carries out the fetches of one pass: hands each to a pool of workers that download side by
// side, and prints the pass's lines in feed order through an ordered printer while they run.
// A map a worker received is settled (checked, stamped, written) and put in place (flushed and
// renamed) by a committer while the worker goes on to the next download; the map's line, its
// outcome and its progress count come only after that. The pool is created by the first fetch; when no thread can be
// had, a fetch runs on the calling thread with the pass's own client, and a map is put in place by the thread that
// fetched it. Used by the pass's thread only; it never asks the pass's stop hook from a worker. The client and the
// functions it is handed must outlive it.
class CPassExecutor {
public:
    // How one fetch ended, and the text that completes its line on the console.
    struct Outcome {
        bool downloaded = false;
        std::string text;
        Severity severity = Severity::Info;
        std::uint64_t bytes = 0;
        // The rest of a received map's work, run once off the download's slot (on the thread that
        // commits it) before anything else is looked at: it completes this outcome, pending and
        // committed included.
        std::function<void(Outcome& outcome)> settle;
        // A map complete but not yet in place: the executor commits it, then calls committed
        // with 0 or the errno of the failure (the temporary file then gone) to complete this
        // outcome.
        std::unique_ptr<CAtomicFile> pending;
        std::function<void(Outcome& outcome, int error)> committed;
    };
    // Fetches one map with the given client; prints nothing. Runs on a worker thread, several at
    // once for different maps.
    using Download = std::function<Outcome(CHTTPClient& http, const CPassPlanner::Fetch& fetch)>;

    CPassExecutor(unsigned int workers, CDownloadPool::Configure configure, CHTTPClient& ownClient, Download download,
                  std::function<bool()> stopping, COrderedPrinter::Sink sink = PrintText);
    ~CPassExecutor();
    CPassExecutor(const CPassExecutor&) = delete;
    CPassExecutor& operator=(const CPassExecutor&) = delete;

    // At most how many maps of the pass remain to be started, the next one handed to Start
    // included: no worker starts a connection ahead that they would leave unused. No bound until
    // told.
    void MapsToCome(std::size_t count) { m_mapsToCome = count; }
    // Pass output that does not wait for a download, released in feed order.
    void Print(std::string text, Severity severity) { m_printer.Add(std::move(text), severity); }
    // Starts the fetch under its console head, printing finished maps while it waits for a free
    // worker. False, with nothing started, when a stop came while waiting.
    bool Start(std::string head, CPassPlanner::Fetch fetch);
    // Waits until no fetch of this path is in flight.
    void WaitForMap(const std::string& mapPath);
    // Waits for every fetch and its commit and prints the rest of the lines; adds the outcomes to
    // result in feed order. The save directory is synced once when anything was fetched.
    void Finish(CPassResult& result, const CDirectory& saveDirectory);

private:
    struct Started {
        CPassPlanner::Fetch fetch;
        Outcome outcome;
        // What the download gave, while its map is being committed.
        Outcome committing;
        bool collected = false;
    };

    // Settles outcome, and hands over its pending map, if any.
    static std::unique_ptr<CAtomicFile> Settle(Outcome& outcome);
    // Settles outcome and puts its pending map, if any, in place on this thread: 0 or the errno of
    // the failure.
    static int CommitNow(Outcome& outcome);
    // Completes an outcome whose map was committed with error (0: none, or nothing to commit).
    static void Complete(Outcome& outcome, int error);
    // Completes an outcome whose map was committed with error, and counts its progress.
    void Committed(Started& started, int error);

    // Waits until a fetch has finished or a worker became free, and prints what can be printed.
    // False, at once, when no fetch is in flight and no worker busy.
    bool Collect();
    // A token while the workers hold fewer connections ahead than maps remain; empty otherwise.
    std::shared_ptr<const void> ClaimAhead();
    bool Stopping() const { return m_stopping && m_stopping(); }
    // The live progress line while downloads run, when standard error is a terminal: drawn by a
    // thread of its own at most ten times a second, stopped and cleared before the pass ends.
    void StartProgress();
    void StopProgress();
    // The rate is windowBytes over windowMs.
    void DrawProgress(std::uint64_t windowBytes, long long windowMs);

    unsigned int m_uiWorkers;
    CDownloadPool::Configure m_configure;
    CHTTPClient& m_ownClient;
    Download m_download;
    std::function<bool()> m_stopping;
    COrderedPrinter m_printer;
    // Every worker has been busy at once in this pass: more maps are likely to follow, so workers
    // start their next connection ahead until the pass finishes. Written by the pass's thread,
    // read by workers.
    std::atomic<bool> m_bBacklog{false};
    // Written by the pass's thread; the connections the workers hold ahead are counted against it.
    std::atomic<std::size_t> m_mapsToCome{SIZE_MAX};
    std::atomic<std::size_t> m_aheadHeld{0};
    // Every fetch of the pass by printer ticket; an outcome is written by its worker only, until
    // its ticket is collected.
    std::map<std::size_t, std::unique_ptr<Started>> m_started;
    // The map paths of the fetches handed to the pool and not yet collected, so a lookup does not
    // walk the whole pass.
    std::unordered_multiset<std::string> m_inFlightPaths;
    // Progress counts: fetches handed out, fetches done and their bytes. Written by the pass's
    // thread and the workers, read by the progress thread.
    std::atomic<unsigned int> m_uiProgressTotal{0};
    std::atomic<unsigned int> m_uiProgressDone{0};
    std::atomic<std::uint64_t> m_progressBytes{0};
    std::mutex m_progressMutex;
    std::condition_variable m_progressWake;
    bool m_bProgressStop = false;
    std::thread m_progressThread;
    // Fed by the workers; reports to the pool. Null until the first fetch, and when no thread
    // could be had for it.
    std::unique_ptr<CMapCommitter> m_pCommitter;
    // Declared last so that, whatever way this object goes, the workers are joined before
    // anything they write to is destroyed.
    std::unique_ptr<CDownloadPool> m_pPool;
};

#endif
