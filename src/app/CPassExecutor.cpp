#include "app/CPassExecutor.h"

#include <chrono>
#include <deque>
#include <system_error>
#include <utility>

#include "app/CMapCommitter.h"
#include "app/Utils.h"
#include "fs/CAtomicFile.h"
#include "http/CHTTPClient.h"

CPassExecutor::CPassExecutor(unsigned int workers, CDownloadPool::Configure configure, CHTTPClient& ownClient,
                             Download download, std::function<bool()> stopping, COrderedPrinter::Sink sink)
    : m_uiWorkers(workers),
      m_configure(std::move(configure)),
      m_ownClient(ownClient),
      m_download(std::move(download)),
      m_stopping(std::move(stopping)),
      m_printer(std::move(sink)) {}

CPassExecutor::~CPassExecutor() {
    // Every map in flight is put in place or removed before the pool and the committer that
    // report it go; the workers go first: none counts progress after the line is cleared.
    if (m_pPool) {
        while (m_pPool->InFlight() != 0) m_pPool->WaitFinished();
    }
    m_pPool.reset();
    m_pCommitter.reset();
    StopProgress();
}

std::unique_ptr<CAtomicFile> CPassExecutor::Settle(Outcome& outcome) {
    if (outcome.settle) {
        const auto settle = std::move(outcome.settle);
        outcome.settle = nullptr;
        settle(outcome);
    }
    return std::move(outcome.pending);
}

int CPassExecutor::CommitNow(Outcome& outcome) {
    const std::unique_ptr<CAtomicFile> pending = Settle(outcome);
    if (!pending) return 0;
    return pending->Commit() ? 0 : pending->Error();
}

void CPassExecutor::Complete(Outcome& outcome, int error) {
    if (!outcome.committed) return;
    const auto committed = std::move(outcome.committed);
    outcome.committed = nullptr;
    committed(outcome, error);
}

void CPassExecutor::Committed(Started& started, int error) {
    try {
        Complete(started.committing, error);
        started.outcome = std::move(started.committing);
    } catch (...) {
        // The outcome stays the internal error it was started as; the ticket is reported anyway.
    }
    m_progressBytes += started.outcome.bytes;
    ++m_uiProgressDone;
}

namespace {

std::string ProgressBytes(double bytes) {
    const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
        bytes /= 1024;
        ++unit;
    }
    return unit == 0 ? Format("%.0f %s", bytes, units[unit]) : Format("%.1f %s", bytes, units[unit]);
}

}  // namespace

void CPassExecutor::DrawProgress(std::uint64_t windowBytes, long long windowMs) {
    const double rate = windowMs > 0 ? static_cast<double>(windowBytes) * 1000.0 / static_cast<double>(windowMs) : 0;
    ShowProgressLine(Format("%u of %u maps, %s received, %s/s", m_uiProgressDone.load(), m_uiProgressTotal.load(),
                            ProgressBytes(static_cast<double>(m_progressBytes.load())).c_str(),
                            ProgressBytes(rate).c_str()));
}

void CPassExecutor::StartProgress() {
    if (!ProgressLineWanted() || m_progressThread.joinable()) return;
    try {
        m_progressThread = std::thread([this] {
            // The rate is what came in over the last two seconds or so.
            std::deque<std::pair<long long, std::uint64_t>> samples;
            std::unique_lock<std::mutex> lock(m_progressMutex);
            while (!m_bProgressStop) {
                const long long now = MonotonicMs();
                const std::uint64_t bytes = m_progressBytes.load();
                samples.emplace_back(now, bytes);
                while (samples.size() > 1 && now - samples.front().first > 2000) samples.pop_front();
                lock.unlock();
                DrawProgress(bytes - samples.front().second, now - samples.front().first);
                lock.lock();
                m_progressWake.wait_for(lock, std::chrono::milliseconds(100), [this] { return m_bProgressStop; });
            }
        });
    } catch (const std::system_error&) {
        // No thread to be had: the pass runs without the progress line.
    }
}

void CPassExecutor::StopProgress() {
    if (!m_progressThread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        m_bProgressStop = true;
    }
    m_progressWake.notify_all();
    m_progressThread.join();
    // The final count, then the line goes before the pass's summary.
    DrawProgress(0, 0);
    ClearProgressLine();
}

bool CPassExecutor::Start(std::string head, CPassPlanner::Fetch fetch) {
    if (!m_pPool) {
        try {
            m_pPool = std::make_unique<CDownloadPool>(m_uiWorkers, [this](CTCPImpl& tcp, CHTTPClient& http) {
                m_configure(tcp, http);
                // Hides each map's connection handshake behind the download before it. One at a
                // time stays one connection at a time.
                if (m_uiWorkers > 1)
                    http.SetConnectAhead([this] { return m_bBacklog.load() && !StopRequested(); },
                                         [this] { return ClaimAhead(); });
            });
        } catch (const std::system_error&) {
            // No thread to be had: this map is fetched here and now, as one at a time would be.
            const std::size_t ticket = m_printer.Open(std::move(head));
            auto entry = std::make_unique<Started>();
            entry->outcome = m_download(m_ownClient, fetch);
            Complete(entry->outcome, CommitNow(entry->outcome));
            entry->fetch = std::move(fetch);
            entry->collected = true;
            m_printer.Finish(ticket, entry->outcome.text, entry->outcome.severity);
            m_started.emplace(ticket, std::move(entry));
            return true;
        }
        try {
            // As many flushes at once as downloads, as when each worker flushed its own map.
            m_pCommitter = std::make_unique<CMapCommitter>(m_uiWorkers);
        } catch (const std::system_error&) {
            // Each worker puts its own maps in place.
        }
    }
    // Once every worker was busy the pass has more maps than workers, and stays so: workers that
    // come free together must not each lose their head start on the next map. Connections ahead
    // still never outnumber the maps to come.
    if (!m_pPool->HasFreeWorker()) m_bBacklog = true;
    if (!m_pPool->HasFreeWorker()) {
        while (!m_pPool->HasFreeWorker() && Collect()) {
        }
        // Time passed while waiting: a stop that came meanwhile starts nothing new.
        if (Stopping()) return false;
    }
    const std::size_t ticket = m_printer.Open(std::move(head));
    auto entry = std::make_unique<Started>();
    // Stands unless the download returns: a worker never lets an exception end the process.
    entry->outcome.text =
        Format("Failed\nError downloading %s: %s\n", fetch.title.c_str(), "unexpected internal error");
    entry->outcome.severity = Severity::Error;
    entry->fetch = std::move(fetch);
    Started* const started = entry.get();
    m_started.emplace(ticket, std::move(entry));
    m_inFlightPaths.insert(started->fetch.mapPath);
    ++m_uiProgressTotal;
    StartProgress();
    const std::size_t toCome = m_mapsToCome;
    if (toCome != SIZE_MAX && toCome > 0) m_mapsToCome = toCome - 1;
    m_pPool->Start(
        ticket,
        [this, started, ticket](CHTTPClient& http) {
            started->committing = m_download(http, started->fetch);
            if ((started->committing.settle || started->committing.pending) && m_pCommitter) {
                // The hand-over is the last step: work that throws must have handed nothing on.
                m_pCommitter->Commit(
                    [started]() -> std::unique_ptr<CAtomicFile> {
                        Outcome& committing = started->committing;
                        try {
                            return Settle(committing);
                        } catch (...) {
                            // Ends as the internal error it was started as; nothing is put in place.
                            committing.committed = nullptr;
                            committing.pending.reset();
                            committing.downloaded = false;
                            committing.bytes = 0;
                            committing.severity = started->outcome.severity;
                            committing.text.swap(started->outcome.text);
                            return nullptr;
                        }
                    },
                    [this, started, ticket](int error) {
                        Committed(*started, error);
                        m_pPool->Complete(ticket);
                    });
                return;
            }
            Committed(*started, CommitNow(started->committing));
            m_pPool->Complete(ticket);
        },
        true);
    return true;
}

std::shared_ptr<const void> CPassExecutor::ClaimAhead() {
    std::size_t held = m_aheadHeld;
    do {
        if (held >= m_mapsToCome) return nullptr;
    } while (!m_aheadHeld.compare_exchange_weak(held, held + 1));
    // Points at the count it gives back to; owns nothing.
    return std::shared_ptr<const void>(&m_aheadHeld, [this](const void*) { --m_aheadHeld; });
}

bool CPassExecutor::Collect() {
    if (!m_pPool || m_pPool->Idle()) return false;
    for (const std::size_t ticket : m_pPool->WaitFinished()) {
        auto found = m_started.find(ticket);
        if (found == m_started.end() || found->second->collected) continue;
        found->second->collected = true;
        const auto path = m_inFlightPaths.find(found->second->fetch.mapPath);
        if (path != m_inFlightPaths.end()) m_inFlightPaths.erase(path);
        m_printer.Finish(ticket, found->second->outcome.text, found->second->outcome.severity);
    }
    return true;
}

void CPassExecutor::WaitForMap(const std::string& mapPath) {
    while (m_inFlightPaths.count(mapPath) != 0 && Collect()) {
    }
}

void CPassExecutor::Finish(CPassResult& result, const CDirectory& saveDirectory) {
    m_bBacklog = false;
    m_mapsToCome = 0;
    while (Collect()) {
    }
    m_pPool.reset();
    m_pCommitter.reset();
    StopProgress();
    for (const auto& entry : m_started) {
        const Started& started = *entry.second;
        if (started.outcome.downloaded) {
            result.updated.push_back(started.fetch.title);
            result.bytes += started.outcome.bytes;
        } else {
            result.failed.push_back(started.fetch.title);
        }
    }
    // Once for all the maps renamed into place, rather than once for each.
    if (!m_started.empty()) saveDirectory.Sync();
    m_started.clear();
}
