#include "app/CMapAutoDownload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <random>

#include "app/ByteSize.h"
#include "app/CHook.h"
#include "app/CMapVersionCache.h"
#include "app/CMetricsFile.h"
#include "app/CServiceNotifier.h"
#include "app/CStampingSink.h"
#include "app/ExitStatus.h"
#include "fs/CAtomicFile.h"
#include "fs/CInputFile.h"
#include "http/CHTTPClient.h"
#include "tcp/CTCPImpl.h"
#include "tcp/CTLSContext.h"
#include "xml/CMapVersionRecord.h"
#include "xml/CMapVersionStamp.h"

namespace {

const char kInitialFeedTime[] = "00-00-00 00:00:00";
// How a map's write failure begins; the client's own text is made over with the map's whole path.
const char kWriteFailure[] = "Unable to write destination file ";

// Only a regular file counts: a FIFO, socket or device of that name is never opened to read.
bool FileExists(const char* path) {
    int error = 0;
    return CInputFile::Check(path, error) == CInputFile::Status::Regular;
}

// Whether the map name in the open directory directoryFd has a version record: only then does a
// body that cannot carry one count as no map. Asked only of such bodies, so a pass reads the old
// map at most once more.
bool CarriesVersionRecord(int directoryFd, const char* name) {
    CInputFile file;
    CMapVersionRecord record;
    return file.Open(directoryFd, name) == CInputFile::Status::Regular && record.Read(file.Descriptor()) &&
           record.HasVersion();
}

std::string NotAnXmlDocument(const CMapVersionRecord& record) { return "not an XML document (" + record.Error() + ")"; }

bool IsWorkingDirectory(int directoryFd) {
    struct stat first;
    struct stat second;
    return fstat(directoryFd, &first) == 0 && stat(".", &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// The file name of a map path the planner made ("<save path>/<title>"): what is looked up in the
// pass's open save directory.
const char* NameOf(const std::string& mapPath) {
    const std::size_t slash = mapPath.rfind('/');
    return mapPath.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

// The end of a failed map's line and its error line. The detail may quote the server (a reason
// phrase) or the body (a parser's message), so it is shown as printable text.
std::string FailedLine(const std::string& title, const std::string& detail) {
    return "Failed\nError downloading " + title + ": " + PrintableText(detail) + "\n";
}

}  // namespace

CMapAutoDownload::CMapAutoDownload(const CSettings& settings, Clock clock)
    : m_uiFrequency(settings.frequency),
      m_bDryRun(settings.dryRun),
      m_pTCP(std::make_unique<CTCPImpl>()),
      m_pHTTP(std::make_unique<CHTTPClient>(m_pTCP.get())),
      m_strFeedUrl(settings.feedUrl),
      m_strSavePath(settings.savePath),
      m_uiFullCheckFrequency(settings.fullCheckFrequency),
      m_vecIgnoredMaps(settings.ignoredMaps),
      m_iDownloadsPerUpdateMax(settings.downloadsPerUpdateMax),
      m_iMaxMapCount(settings.maxMapCount),
      m_clock(std::move(clock)),
      m_uiParallelDownloads(std::clamp(settings.parallelDownloads, 1u, CSettings::kMaximumParallelDownloads)),
      m_uiTimeoutMs(settings.timeoutSeconds * 1000u),
      m_uiMaxRedirects(settings.maxRedirects),
      m_ullMaxMapSize(settings.maxMapSize),
      m_uiRetries(settings.retries),
      m_proxies(settings.proxies) {
    // Capped like the period, so a pass still comes due within the clock's range.
    m_uiSplayMs =
        static_cast<unsigned int>(std::min<uint64_t>(static_cast<uint64_t>(settings.splay) * 1000u, kLongestPeriodMs));
    SetSplayDraw([generator = std::mt19937(std::random_device()())](unsigned int longestMs) mutable {
        return std::uniform_int_distribution<unsigned int>(0, longestMs)(generator);
    });
    snprintf(m_szLastFeedTime, sizeof(m_szLastFeedTime), "%s", kInitialFeedTime);
    m_pTCP->SetTLSContext(std::make_shared<const CTLSContext>(settings.caFile));
    if (!settings.maxRateSchedule.empty()) m_pRateLimiter = std::make_unique<CRateLimiter>(settings.maxRateSchedule);
    ConfigureClient(*m_pHTTP);
}

CMapAutoDownload::~CMapAutoDownload() = default;

void CMapAutoDownload::SetSplayDraw(SplayDraw draw) {
    m_drawSplay = std::move(draw);
    m_uiDelayMs = m_uiSplayMs != 0 ? m_drawSplay(m_uiSplayMs) : 0;
}

void CMapAutoDownload::ConfigureClient(CHTTPClient& http) const {
    http.SetTimeout(m_uiTimeoutMs);
    http.SetMaxRedirects(m_uiMaxRedirects);
    http.SetRetries(m_uiRetries);
    http.SetProxies(m_proxies);
    // One cap for the feed and every map download at once.
    http.SetRateLimiter(m_pRateLimiter.get());
    // A stop request ends any wait on the network at once, not after the time-out.
    http.SetStopCheck(StopRequested);
}

bool CMapAutoDownload::IsDue(unsigned int now) const {
    if (m_uiFrequency == 0 || m_bPassRequested) return true;
    // The elapsed time is taken modulo 2^32 so the clock's wrap does not matter. The period is
    // widened so a long frequency cannot wrap into a short one, and capped below the clock's
    // range, with room for the one-second ticks, so that it still comes due.
    const unsigned int elapsed = now - m_uiLastPassTime;
    const uint64_t period =
        std::min<uint64_t>(static_cast<uint64_t>(m_uiFrequency) * 1000u + m_uiDelayMs, kLongestPeriodMs);
    return elapsed > period;
}

// The disk as the planner sees it during a pass: a map's version is read once no download of it
// is in flight, so a map listed twice is judged by what the first download left. A dry run
// downloads nothing, so a map it would fetch reads as the version it would be stamped with.
class CMapAutoDownload::PassDisk final : public CPassPlanner::Disk {
public:
    PassDisk(CMapAutoDownload& owner, CPassExecutor& executor) : m_owner(owner), m_executor(executor) {}

    bool IsWorkingDirectory(const char*) override { return ::IsWorkingDirectory(m_owner.m_saveDirectory.Fd()); }
    CInputFile::Status Check(const char* path, int& error) override {
        // Looked at once no download of it is in flight, as its version is: a missing map then
        // needs no second look for its version (most maps of a fresh sync are missing).
        m_executor.WaitForMap(path);
        const CInputFile::Status status = CInputFile::Check(m_owner.m_saveDirectory.Fd(), NameOf(path), error);
        m_missing = status == CInputFile::Status::Missing ? path : std::string();
        return status;
    }
    int MapVersion(const std::string& path, int& error) override {
        m_executor.WaitForMap(path);
        const auto planned = m_planned.find(path);
        int version = CPassPlanner::kNoFile;
        if (planned != m_planned.end()) {
            version = planned->second;
        } else if (path == m_missing) {
            m_owner.ForgetMapVersion(path);
        } else {
            version = m_owner.GetMapVersion(m_owner.m_saveDirectory.Fd(), NameOf(path), path.c_str(), error);
        }
        // A stop request that cut the read short starts no download.
        return m_owner.Stopping() ? CPassPlanner::kStopped : version;
    }
    void Planned(const CPassPlanner::Fetch& fetch) { m_planned[fetch.mapPath] = static_cast<int>(fetch.feedVersion); }

private:
    CMapAutoDownload& m_owner;
    CPassExecutor& m_executor;
    // The path the last Check found missing.
    std::string m_missing;
    std::map<std::string, int> m_planned;
};

void CMapAutoDownload::FailPass(CPassResult& result, const char* format, const char* detail) {
    // The detail may quote the server or the feed; as it is printed it also goes to the hooks and
    // the service's status line, whose lines it must not add to.
    const std::string shown = PrintableText(detail);
    // One text: in quiet mode the held "Checking RSS feed... " comes out with it.
    PrintText(Severity::Error, "Failed\n" + Format(format, shown.c_str()));
    result.feedError = shown;
    result.complete = false;
    m_uiLastPassTime = m_clock();
}

bool CMapAutoDownload::FetchFeed(CAtomicFile& file, CPassResult& result) {
    char requestUrl[kRequestUrlSize];
    // A feed address without a query starts one; one with a query gets one more parameter.
    const char* separator = m_strFeedUrl.find('?') == std::string::npos ? "?" : "&";
    const int length =
        snprintf(requestUrl, sizeof(requestUrl), "%s%stime=%s", m_strFeedUrl.c_str(), separator, m_szLastFeedTime);
    if (length < 0 || static_cast<unsigned int>(length) >= sizeof(requestUrl)) {
        FailPass(result, "Error downloading RSS feed: %s\n", "request URL too long");
        return false;
    }
    if (!file.Open()) {
        FailPass(result, "Error downloading RSS feed: %s\n", CannotWriteFeed(file).c_str());
        return false;
    }
    if (!m_pHTTP->Get(requestUrl, file, kMaxFeedBytes)) {
        FailPass(result, "Error downloading RSS feed: %s\n", m_pHTTP->GetLastError());
        return false;
    }
    return true;
}

std::string CMapAutoDownload::CannotWriteFeed(const CAtomicFile& file) {
    return std::string(kWriteFailure) + file.Target() + ": " + file.ErrorText();
}

bool CMapAutoDownload::DoPulse() {
    const unsigned int now = m_clock();
    if (!IsDue(now)) return false;
    m_bPassRequested = false;
    CPassResult result;
    RunPass(result);
    result.durationMs = m_clock() - now;
    // Each pass has its own delay, so instances started together drift apart.
    if (m_uiSplayMs != 0) m_uiDelayMs = m_drawSplay(m_uiSplayMs);
    m_lastPass = std::move(result);
    return true;
}

void CMapAutoDownload::RunPass(CPassResult& result) {
    PrintMessage(Severity::Info, "Checking RSS feed... ");
    result.complete = true;
    std::string feedTime;

    // Only a pass that asks the server counts: one that walks the stored feed could not ask for
    // everything, and its full check would be lost.
    const bool asksFeed = m_bDryRun || m_uiHeldBack == 0;
    if (asksFeed && ++m_uiPassCounter >= m_uiFullCheckFrequency) {
        // A full check: the feed is asked for everything.
        m_uiPassCounter = 0;
        snprintf(m_szLastFeedTime, sizeof(m_szLastFeedTime), "%s", kInitialFeedTime);
    }

    // The copy is only a cache of what the server holds, fetched again by every pass: replaced
    // whole by its rename, but not flushed to disk, which would hold up every pass's maps.
    CAtomicFile feedFile(CPassPlanner::kFeedFile, CAtomicFile::Sync::Fast);
    if (m_bDryRun) {
        // Never into autoupdate.xml: the temporary file beside it, removed on every path.
        if (FetchFeed(feedFile, result)) WalkFeed(feedFile.TemporaryPath().c_str(), result, feedTime);
        return;
    }
    // Maps held back last time are fetched from the stored feed, without asking the feed again.
    if (m_uiHeldBack == 0) {
        m_strStoredFeedAsked = m_szLastFeedTime;
        remove(CPassPlanner::kFeedFile);
        if (!FetchFeed(feedFile, result)) return;
        if (!feedFile.Commit()) {
            FailPass(result, "Error downloading RSS feed: %s\n", CannotWriteFeed(feedFile).c_str());
            return;
        }
    }
    // Re-read without a fetch after held-back maps: by then anything may have that name.
    if (!FileExists(CPassPlanner::kFeedFile)) {
        m_uiHeldBack = 0;
        FailPass(result, "Error parsing RSS feed: %s\n", "autoupdate.xml is not a readable regular file");
        return;
    }
    const bool summarised = WalkFeed(CPassPlanner::kFeedFile, result, feedTime);
    m_uiHeldBack = result.heldBack;
    // A map that failed is listed again only by a request that reaches back as far as the one
    // that fetched the feed listing it, so the feed time moves on only after a pass without
    // failures, and goes back after one that walked a feed fetched earlier (unless a full check
    // is due, which reaches back furthest).
    if (summarised && result.failed.empty())
        snprintf(m_szLastFeedTime, sizeof(m_szLastFeedTime), "%s", feedTime.c_str());
    else if (!result.failed.empty() && strcmp(m_szLastFeedTime, kInitialFeedTime) != 0)
        snprintf(m_szLastFeedTime, sizeof(m_szLastFeedTime), "%s", m_strStoredFeedAsked.c_str());
}

bool CMapAutoDownload::WalkFeed(const char* path, CPassResult& result, std::string& feedTime) {
    // Every map of the pass is looked at, read, written and removed in this one directory.
    if (!m_saveDirectory.Open(m_strSavePath)) {
        const std::string text =
            Format("Cannot open the save directory %s: %s", m_strSavePath.empty() ? "/" : m_strSavePath.c_str(),
                   m_saveDirectory.ErrorText().c_str());
        FailPass(result, "%s\n", text.c_str());
        return false;
    }
    CPassPlanner planner(m_strSavePath, m_vecIgnoredMaps, m_iDownloadsPerUpdateMax);
    CPassExecutor executor(
        m_uiParallelDownloads,
        [this](CTCPImpl& tcp, CHTTPClient& http) {
            // The TLS settings are read-only once made, so every worker shares them.
            tcp.SetTLSContext(m_pTCP->TLSContext());
            ConfigureClient(http);
        },
        *m_pHTTP, [this](CHTTPClient& http, const CPassPlanner::Fetch& fetch) { return DownloadMap(http, fetch); },
        [this] { return Stopping(); });
    PassDisk disk(*this, executor);
    // Whether the "Checking RSS feed... " line still waits for its end.
    bool checkingLineOpen = true;

    CFeedReader feed(m_stopRequested);
    const CFeedReader::Result walked = feed.Walk(path, [&](const CFeedReader::Item& item) {
        // A stop request ends the pass after the maps in progress.
        if (Stopping()) return false;
        executor.MapsToCome(feed.ItemsAfter() + 1);
        ++result.listed;
        const CPassPlanner::Decision decision = planner.Decide(item, disk);
        if (decision.Noted() && checkingLineOpen) {
            // Ends the "Checking RSS feed... " line before the pass's first per-map message.
            executor.Print("\n", Severity::Info);
            checkingLineOpen = false;
        }
        switch (decision.kind) {
        case CPassPlanner::Decision::Kind::Ignored:
        case CPassPlanner::Decision::Kind::Stopped:
        case CPassPlanner::Decision::Kind::HeldBack:
            break;
        case CPassPlanner::Decision::Kind::UpToDate:
            ++result.upToDate;
            break;
        case CPassPlanner::Decision::Kind::Refused:
            executor.Print(decision.line, decision.severity);
            result.refused.push_back(decision.fetch.title);
            result.complete = false;
            break;
        case CPassPlanner::Decision::Kind::Fetch:
            if (m_bDryRun) {
                executor.Print(CPassPlanner::DryRunLine(decision.fetch), Severity::Info);
                disk.Planned(decision.fetch);
                ++result.planned;
            } else if (executor.Start(CPassPlanner::DownloadHead(decision.fetch), decision.fetch)) {
                ++result.planned;
            }
            break;
        }
        return true;
    });
    executor.Finish(result, m_saveDirectory);
    m_saveDirectory.Close();
    result.heldBack = planner.HeldBack();
    if (!result.failed.empty()) result.complete = false;
    // A stop that came during the last maps ends the pass as one during the walk does: without
    // summary lines, and the feed time stays, so what was not fetched is asked for again.
    if (walked == CFeedReader::Result::Complete && Stopping()) {
        result.stopped = true;
        result.complete = false;
        return false;
    }
    switch (walked) {
    case CFeedReader::Result::Failed:
        FailPass(result, "Error parsing RSS feed: %s\n",
                 (std::string(CPassPlanner::kFeedFile) + ": " + feed.Error()).c_str());
        return false;
    case CFeedReader::Result::NoChannel:
        FailPass(result, "Error parsing RSS feed: %s\n", "no channel element");
        return false;
    case CFeedReader::Result::Ended:
    case CFeedReader::Result::Stopped:
        result.stopped = true;
        result.complete = false;
        return false;
    case CFeedReader::Result::Complete:
        break;
    }
    feedTime = feed.Time();

    if (checkingLineOpen) PrintMessage(Severity::Info, "All maps up to date!\n");
    if (result.heldBack != 0) {
        if (m_bDryRun)
            PrintMessage(Severity::Info, "Would skip downloading of %u maps\n", result.heldBack);
        else
            PrintMessage(Severity::Info, "Skipped downloading of %d maps\n", static_cast<int>(result.heldBack));
    }
    m_uiLastPassTime = m_clock();
    return true;
}

// A map's body as it was received: held by its sink, or for a large one partly written into the
// map's temporary file already.
class CMapAutoDownload::ReceivedMap final {
public:
    ReceivedMap(int directoryFd, const char* name, const char* mapPath, unsigned int version)
        : m_directoryFd(directoryFd),
          m_name(name),
          m_mapPath(mapPath),
          m_version(version),
          m_file(std::make_unique<CAtomicFile>(directoryFd, m_name, CAtomicFile::Sync::Data)),
          m_body(*m_file, version) {}

    int m_directoryFd;
    std::string m_name;
    std::string m_mapPath;
    unsigned int m_version;
    // Declared before the sink that writes into it; handed over once settled.
    std::unique_ptr<CAtomicFile> m_file;
    CStampingSink m_body;
};

CPassExecutor::Outcome CMapAutoDownload::DownloadMap(CHTTPClient& http, const CPassPlanner::Fetch& job) {
    CPassExecutor::Outcome result;
    std::string detail;
    auto received =
        std::make_shared<ReceivedMap>(m_saveDirectory.Fd(), job.title.c_str(), job.mapPath.c_str(), job.feedVersion);
    if (!ReceiveMap(http, job.link.c_str(), m_ullMaxMapSize, *received, detail)) {
        // The old file is untouched and carries its old version, so the next pass tries again.
        result.text = FailedLine(job.title, detail);
        result.severity = Severity::Error;
        return result;
    }
    // The check, the stamp and the file's creation wait for the executor, so the worker's next
    // download need not.
    result.settle = [this, job, received](CPassExecutor::Outcome& done) { Settled(job, *received, done); };
    return result;
}

void CMapAutoDownload::Settled(const CPassPlanner::Fetch& job, ReceivedMap& received, CPassExecutor::Outcome& result) {
    std::string detail;
    std::unique_ptr<CAtomicFile> map;
    const DownloadOutcome outcome = SettleMap(received, detail, map);
    if (outcome == DownloadOutcome::Failed) {
        result.text = FailedLine(job.title, detail);
        result.severity = Severity::Error;
        return;
    }
    result.downloaded = true;
    result.text = "Done\n";
    result.bytes = map->Size();
    if (outcome == DownloadOutcome::Unstamped) {
        result.text +=
            Format("Could not record the version of %s: %s\n", job.title.c_str(), PrintableText(detail).c_str());
        result.severity = Severity::Warning;
    }
    result.pending = std::move(map);
    // Only a map that is in place counts, and only then is its version remembered.
    result.committed = [this, title = job.title, mapPath = job.mapPath, version = job.feedVersion, outcome](
                           CPassExecutor::Outcome& done, int error) {
        if (error != 0) {
            done.downloaded = false;
            done.bytes = 0;
            done.text = FailedLine(title, CannotWrite(mapPath.c_str(), std::strerror(error)));
            done.severity = Severity::Error;
            return;
        }
        if (!m_pVersionCache) return;
        // A map that cannot carry its version is remembered as the feed's version while it stays
        // exactly this file, so it is not fetched again on every pass.
        std::lock_guard<std::mutex> lock(m_versionCacheMutex);
        const CMapVersionCache::Snapshot now = m_pVersionCache->Observe(m_saveDirectory.Fd(), title.c_str());
        if (outcome == DownloadOutcome::Stamped)
            m_pVersionCache->Remember(mapPath.c_str(), now, static_cast<int>(version));
        else
            m_pVersionCache->RememberAssumed(mapPath.c_str(), now, static_cast<int>(version));
    };
}

std::string CMapAutoDownload::CannotWrite(const char* mapPath, const std::string& reason) {
    return "cannot write " + std::string(mapPath) + ": " + reason;
}

CMapAutoDownload::DownloadOutcome CMapAutoDownload::DownloadAndStamp(
    CHTTPClient& http, const char* link, int directoryFd, const char* name, const char* mapPath, unsigned int version,
    std::string& detail, std::unique_ptr<CAtomicFile>& stamped, unsigned long long maxBytes) {
    stamped.reset();
    ReceivedMap received(directoryFd, name, mapPath, version);
    if (!ReceiveMap(http, link, maxBytes, received, detail)) return DownloadOutcome::Failed;
    return SettleMap(received, detail, stamped);
}

bool CMapAutoDownload::ReceiveMap(CHTTPClient& http, const char* link, unsigned long long maxBytes,
                                  ReceivedMap& received, std::string& detail) {
    // The body goes to the map's sink as it arrives, checked on the way; the map's temporary file
    // is made by the first byte the sink writes, and removed on every path but the commit, which
    // is the caller's.
    if (http.Get(link, received.m_body, received.m_name.c_str(), maxBytes)) return true;
    if (http.BodyTooLarge()) {
        detail = "larger than maxmapsize (" + ByteSizeText(maxBytes) + ")";
        return false;
    }
    if (received.m_body.Refused()) {
        received.m_body.Finish();
        detail = NotAnXmlDocument(received.m_body.Record());
        return false;
    }
    detail = http.GetLastError();
    // The client names at most the last part of a long path; the operator gets the whole one.
    const std::string writeFailure = kWriteFailure;
    const std::size_t reason = detail.rfind(": ");
    if (detail.compare(0, writeFailure.size(), writeFailure) == 0 && reason != std::string::npos)
        detail = writeFailure + received.m_mapPath + detail.substr(reason);
    return false;
}

CMapAutoDownload::DownloadOutcome CMapAutoDownload::SettleMap(ReceivedMap& received, std::string& detail,
                                                              std::unique_ptr<CAtomicFile>& stamped) {
    stamped.reset();
    const int directoryFd = received.m_directoryFd;
    const char* const name = received.m_name.c_str();
    const char* const mapPath = received.m_mapPath.c_str();
    CStampingSink& body = received.m_body;
    CAtomicFile& map = *received.m_file;
    // Not cut short by a stop request: the download in progress ends the normal way.
    const bool wellFormed = body.Finish();
    const CMapVersionRecord& record = body.Record();
    if (!wellFormed) {
        detail = NotAnXmlDocument(record);
        return DownloadOutcome::Failed;
    }
    // A server's error page, or the feed itself behind a wrong link, is well-formed XML too. Taken
    // for the map, it would be remembered as the feed's version and never asked for again.
    if (record.HasHtmlRoot()) {
        detail = "not a map (root element html)";
        return DownloadOutcome::Failed;
    }
    if (record.HasChannel()) {
        detail = "not a map (it is a feed)";
        return DownloadOutcome::Failed;
    }
    if (!record.HasMeta() && CarriesVersionRecord(directoryFd, name)) {
        detail = "not a map (no meta element)";
        return DownloadOutcome::Failed;
    }
    // A body whose record lay too far down to hold back went to the file as it came: it is
    // stamped by a copy into a second file, as a map on disk is.
    CMapVersionStamp copied;
    std::unique_ptr<CAtomicFile> copy;
    if (body.Spilled()) {
        if (copied.Locate(map.Descriptor(), received.m_version) &&
            (copied.FoundMeta() != record.HasMeta() || copied.FoundVersion() != record.HasVersion()))
            copied.Drop("version record not understood");
        copy = std::make_unique<CAtomicFile>(directoryFd, name, CAtomicFile::Sync::Data);
        if (!copy->Open() || !copied.CopyTo(*copy)) {
            detail = CannotWrite(mapPath, copy->Error() != 0 ? copy->ErrorText() : copied.Reason());
            return DownloadOutcome::Failed;
        }
    } else if (!body.Complete()) {
        // The body's own bytes could not be written, as when they failed on their way in.
        detail = kWriteFailure + std::string(mapPath) + ": " + map.ErrorText();
        return DownloadOutcome::Failed;
    }
    const CMapVersionStamp& stamp = copy ? copied : body.Stamp();
    // The new map, already carrying its version; its commit (bytes on disk, then one rename) is
    // the caller's. The save directory is synced once for the whole pass.
    stamped = copy ? std::move(copy) : std::move(received.m_file);
    if (!stamp.Located()) {
        detail = stamp.Reason();
        return DownloadOutcome::Unstamped;
    }
    return DownloadOutcome::Stamped;
}

int CMapAutoDownload::GetMapVersion(const char* path) {
    int error = 0;
    return GetMapVersion(AT_FDCWD, path, path, error);
}

int CMapAutoDownload::GetMapVersion(int directoryFd, const char* name, const char* path, int& error) {
    if (!m_pVersionCache) return ReadMapVersion(directoryFd, name, error);
    int version = 0;
    CMapVersionCache::Snapshot before;
    {
        std::lock_guard<std::mutex> lock(m_versionCacheMutex);
        // The identity is taken before reading, so a change made meanwhile is seen next time.
        before = m_pVersionCache->Observe(directoryFd, name);
        if (m_pVersionCache->Lookup(path, before, version)) return version;
    }
    version = ReadMapVersion(directoryFd, name, error);
    std::lock_guard<std::mutex> lock(m_versionCacheMutex);
    // A read cut short by a stop request, or that could not read, says nothing about the file.
    if (!Stopping() && version != kCannotRead) m_pVersionCache->Remember(path, before, version);
    return version;
}

void CMapAutoDownload::ForgetMapVersion(const std::string& path) {
    if (!m_pVersionCache) return;
    std::lock_guard<std::mutex> lock(m_versionCacheMutex);
    m_pVersionCache->Forget(path.c_str());
}

int CMapAutoDownload::ReadMapVersion(int directoryFd, const char* name, int& error) {
    error = 0;
    CInputFile file;
    switch (file.Open(directoryFd, name)) {
    case CInputFile::Status::Regular:
        break;
    case CInputFile::Status::Missing:
    case CInputFile::Status::NotRegular:
        return kNoFile;
    case CInputFile::Status::Unreadable:
        error = file.Error();
        return kCannotRead;
    }
    // A huge map is read within about a second of a stop request.
    CMapVersionRecord record;
    if (!record.Read(file.Descriptor(), m_stopRequested)) {
        error = record.SystemError();
        return error != 0 ? kCannotRead : kNoVersionRecord;
    }
    return record.HasVersion() ? record.Version() : kNoVersionRecord;
}

bool CMapAutoDownload::WriteMapVersion(const char* path, unsigned int version) {
    // Never creates a file: only a map that is there takes a version.
    if (!FileExists(path)) return false;
    CMapVersionRecord record;
    CMapVersionStamp stamp;
    if (!record.Read(path) || !stamp.Locate(path, version) || stamp.FoundMeta() != record.HasMeta() ||
        stamp.FoundVersion() != record.HasVersion())
        return false;
    CAtomicFile map(path);
    const bool written = map.Open() && stamp.CopyTo(map) && map.Commit();
    if (m_pVersionCache) {
        std::lock_guard<std::mutex> lock(m_versionCacheMutex);
        if (written)
            m_pVersionCache->Remember(path, static_cast<int>(version));
        else
            m_pVersionCache->Forget(path);
    }
    return written;
}

namespace {

// Saves the remembered versions when they changed. A failure is told once, not on every tick, and
// again only after a save succeeded or the reason changed; the next tick tries again.
void SaveVersions(CMapVersionCache& versions, int& lastError) {
    if (!versions.HasChanges()) return;
    if (versions.Save(CMapVersionCache::kStateFileName)) {
        lastError = 0;
        return;
    }
    if (versions.SaveError() != lastError)
        PrintMessage(Severity::Error, "Unable to save the remembered map versions to %s: %s\n",
                     CMapVersionCache::kStateFileName, strerror(versions.SaveError()));
    lastError = versions.SaveError();
}

// A dry run's status: whether a pass would have anything to do, and whether it could be told.
int DryRunStatus(const CPassResult& pass) {
    if (!pass.feedError.empty()) return ExitStatus::kPassIncomplete;
    if (pass.planned != 0) return ExitStatus::kWouldDownload;
    return pass.complete ? ExitStatus::kSuccess : ExitStatus::kPassIncomplete;
}

}  // namespace

int RunMapAutoDownload(const CSettings& settings, const Reload& reload) {
    CSettings current = settings;
    bool runOnce = false;
    std::unique_ptr<CMapAutoDownload> downloader;
    // The versions of unchanged maps are remembered across passes and restarts. A state file
    // that is missing or damaged only means the maps are read again.
    CMapVersionCache versions;
    versions.Load(CMapVersionCache::kStateFileName);
    // Builds the pass for the current settings; a rebuilt one keeps the schedule of the last.
    auto start = [&] {
        // Temporary files of an earlier run that was killed before it could remove them; a dry
        // run leaves even those alone.
        if (!current.dryRun) {
            CAtomicFile::RemoveLeftovers(current.savePath);
            CAtomicFile::RemoveLeftovers(".");
        }
        runOnce = current.frequency == 0 || current.runOnce || current.dryRun;
        CSettings passSettings = current;
        if (runOnce) passSettings.frequency = 0;  // due at once, whatever the configured period
        auto next = std::make_unique<CMapAutoDownload>(passSettings);
        if (downloader) next->ContinueSchedule(*downloader);
        downloader = std::move(next);
        downloader->SetVersionCache(&versions);
        downloader->SetStopCheck(StopRequested);
    };
    start();
    CServiceNotifier service;
    // A dry run writes nothing, metrics included. The counters count since start, also when a
    // reload names another file; one that removes the setting leaves the last file as it was.
    std::unique_ptr<CMetricsFile> metrics;
    const auto followMetricsFile = [&] {
        if (current.metricsFile.empty() || current.dryRun) {
            metrics.reset();
            return;
        }
        if (metrics && metrics->Path() == current.metricsFile) return;
        if (metrics)
            metrics->MoveTo(current.metricsFile);
        else
            metrics = std::make_unique<CMetricsFile>(current.metricsFile);
        metrics->Write();
    };
    followMetricsFile();
    service.Ready();
    int saveError = 0;
    while (!StopRequested()) {
        // Between passes only: a pass never sees its settings change.
        if (!runOnce && TakeReloadRequest() && reload && reload(current)) {
            start();
            followMetricsFile();
        }
        if (TakePassRequest()) downloader->RequestPass();
        const bool passed = downloader->DoPulse();
        if (passed) {
            const time_t endedAt = time(nullptr);
            if (metrics) {
                metrics->Record(downloader->LastPass(), endedAt);
                metrics->Write();
            }
            service.Status(CServiceNotifier::PassStatus(downloader->LastPass(), endedAt));
        }
        if (!current.dryRun) SaveVersions(versions, saveError);
        // After the versions are saved: a hook may run long, and a kill meanwhile must not lose them.
        if (passed && !StopRequested()) RunPassHooks(current, downloader->LastPass(), StopRequested);
        if (runOnce) {
            PrintMessage(Severity::Info, "\n");
            // A stop is the operator's own request, in either mode, and ends with success.
            if (StopRequested()) {
                service.Stopping();
                return ExitStatus::kSuccess;
            }
            if (current.dryRun) return DryRunStatus(downloader->LastPass());
            return downloader->LastPassComplete() ? ExitStatus::kSuccess : ExitStatus::kPassIncomplete;
        }
        usleep(1000000);
    }
    service.Stopping();
    return ExitStatus::kSuccess;
}
