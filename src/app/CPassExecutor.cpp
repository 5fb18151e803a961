#include "app/CPassExecutor.h"

#include <system_error>

#include "app/Utils.h"
#include "http/CHTTPClient.h"

CPassExecutor::CPassExecutor(unsigned int workers, CDownloadPool::Configure configure, CHTTPClient& ownClient,
                             Download download, std::function<bool()> stopping, COrderedPrinter::Sink sink)
    : m_uiWorkers(workers),
      m_configure(std::move(configure)),
      m_ownClient(ownClient),
      m_download(std::move(download)),
      m_stopping(std::move(stopping)),
      m_printer(std::move(sink)) {}

CPassExecutor::~CPassExecutor() = default;

bool CPassExecutor::Start(std::string head, CPassPlanner::Fetch fetch) {
    if (!m_pPool) {
        try {
            m_pPool = std::make_unique<CDownloadPool>(m_uiWorkers, [this](CTCPImpl& tcp, CHTTPClient& http) {
                m_configure(tcp, http);
                // Hides each map's connection handshake behind the download before it. One at a
                // time stays one connection at a time.
                if (m_uiWorkers > 1) http.SetConnectAhead([this] { return m_bBacklog.load() && !StopRequested(); });
            });
        } catch (const std::system_error&) {
            // No thread to be had: this map is fetched here and now, as one at a time would be.
            const std::size_t ticket = m_printer.Open(std::move(head));
            auto entry = std::make_unique<Started>();
            entry->outcome = m_download(m_ownClient, fetch);
            entry->fetch = std::move(fetch);
            entry->collected = true;
            m_printer.Finish(ticket, entry->outcome.text, entry->outcome.severity);
            m_started.emplace(ticket, std::move(entry));
            return true;
        }
    }
    m_bBacklog = !m_pPool->HasFreeWorker();
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
    m_pPool->Start(ticket, [this, started](CHTTPClient& http) { started->outcome = m_download(http, started->fetch); });
    return true;
}

bool CPassExecutor::Collect() {
    if (!m_pPool || m_pPool->InFlight() == 0) return false;
    for (const std::size_t ticket : m_pPool->WaitFinished()) {
        auto found = m_started.find(ticket);
        if (found == m_started.end() || found->second->collected) continue;
        found->second->collected = true;
        m_printer.Finish(ticket, found->second->outcome.text, found->second->outcome.severity);
    }
    return true;
}

void CPassExecutor::WaitForMap(const std::string& mapPath) {
    auto busy = [this, &mapPath] {
        for (const auto& entry : m_started) {
            if (!entry.second->collected && entry.second->fetch.mapPath == mapPath) return true;
        }
        return false;
    };
    while (busy() && Collect()) {
    }
}

void CPassExecutor::Finish(CPassResult& result, const CDirectory& saveDirectory) {
    m_bBacklog = false;
    while (Collect()) {
    }
    m_pPool.reset();
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
