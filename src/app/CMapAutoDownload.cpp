#include "app/CMapAutoDownload.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/CDownloadPool.h"
#include "app/CMapVersionCache.h"
#include "app/ExitStatus.h"
#include "http/CHTTPClient.h"
#include "tcp/CTCPImpl.h"
#include "tcp/CTLSContext.h"
#include "xml/CXMLFileImpl.h"
#include "xml/CXMLNode.h"

namespace {

const char kFeedFile[] = "autoupdate.xml";
const char kConfigFile[] = "config.xml";
const char kInitialFeedTime[] = "00-00-00 00:00:00";

// A title is used as a file name inside the save directory, so it must name exactly one entry
// there: not empty, not "." or "..", and without any path separator.
bool IsSafeTitle(const char* title)
{
    return title[0] != '\0' && strcmp(title, ".") != 0 && strcmp(title, "..") != 0 &&
           !strchr(title, '/') && !strchr(title, '\\');
}

bool FileExists(const char* path)
{
    FILE* file = fopen(path, "re");
    if (!file)
        return false;
    fclose(file);
    return true;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        vsnprintf(&text[0], text.size() + 1, format, arguments);
    va_end(arguments);
    return text;
}

bool SameDirectory(const char* a, const char* b)
{
    struct stat first;
    struct stat second;
    return stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

}  // namespace

CMapAutoDownload::CMapAutoDownload(const CSettings& settings, Clock clock)
    : m_uiFrequency(settings.frequency),
      m_pTCP(std::make_unique<CTCPImpl>()),
      m_pHTTP(std::make_unique<CHTTPClient>(m_pTCP.get())),
      m_strFeedUrl(settings.feedUrl),
      m_strSavePath(settings.savePath),
      m_uiFullCheckFrequency(settings.fullCheckFrequency),
      m_vecIgnoredMaps(settings.ignoredMaps),
      m_iDownloadsPerUpdateMax(settings.downloadsPerUpdateMax),
      m_iMaxMapCount(settings.maxMapCount),
      m_clock(std::move(clock)),
      m_uiParallelDownloads(std::clamp(settings.parallelDownloads, 1u,
                                       CSettings::kMaximumParallelDownloads)),
      m_uiTimeoutMs(settings.timeoutSeconds * 1000u),
      m_uiMaxRedirects(settings.maxRedirects)
{
    snprintf(m_szLastFeedTime, sizeof(m_szLastFeedTime), "%s", kInitialFeedTime);
    m_pTCP->SetTLSContext(std::make_shared<const CTLSContext>(settings.caFile));
    ConfigureClient(*m_pHTTP);
}

CMapAutoDownload::~CMapAutoDownload() = default;

void CMapAutoDownload::ConfigureClient(CHTTPClient& http) const
{
    http.SetTimeout(m_uiTimeoutMs);
    http.SetMaxRedirects(m_uiMaxRedirects);
    // A stop request ends any wait on the network at once, not after the time-out.
    http.SetStopCheck(StopRequested);
}

bool CMapAutoDownload::IsDue(unsigned int now) const
{
    if (m_uiFrequency == 0)
        return true;
    // The elapsed time is taken modulo 2^32 so the clock's wrap does not matter. The period is
    // widened so a long frequency cannot wrap into a short one, and capped below the clock's
    // range, with room for the one-second ticks, so that it still comes due.
    const unsigned int elapsed = now - m_uiLastPassTime;
    const uint64_t period = std::min<uint64_t>(static_cast<uint64_t>(m_uiFrequency) * 1000u, kLongestPeriodMs);
    return elapsed > period;
}

void CMapAutoDownload::FailPass(const char* format, const char* detail)
{
    PrintMessage("Failed\n");
    PrintMessage(format, detail);
    m_bPassComplete = false;
    m_uiLastPassTime = m_clock();
}

bool CMapAutoDownload::FetchFeed()
{
    char requestUrl[kRequestUrlSize];
    // A feed address without a query starts one; one with a query gets one more parameter.
    const char* separator = m_strFeedUrl.find('?') == std::string::npos ? "?" : "&";
    const int length = snprintf(requestUrl, sizeof(requestUrl), "%s%stime=%s",
                                m_strFeedUrl.c_str(), separator, m_szLastFeedTime);
    if (length < 0 || static_cast<unsigned int>(length) >= sizeof(requestUrl)) {
        FailPass("Error downloading RSS feed: %s\n", "request URL too long");
        return false;
    }
    remove(kFeedFile);
    if (!m_pHTTP->Get(requestUrl, kFeedFile)) {
        FailPass("Error downloading RSS feed: %s\n", m_pHTTP->GetLastError());
        return false;
    }
    return true;
}

void CMapAutoDownload::DoPulse()
{
    const unsigned int now = m_clock();
    if (!IsDue(now))
        return;

    PrintMessage("Checking RSS feed... ");
    m_bNothingDownloaded = true;
    m_bPassComplete = true;
    m_iDownloadsThisPass = 0;
    char feedTime[kFeedTimeSize] = {};

    if (++m_uiPassCounter >= m_uiFullCheckFrequency) {
        // A full check: the feed is asked for everything.
        m_uiPassCounter = 0;
        snprintf(m_szLastFeedTime, sizeof(m_szLastFeedTime), "%s", kInitialFeedTime);
    }

    // Maps held back last time are fetched from the stored feed, without asking the feed again.
    if (m_uiSkipped == 0 && !FetchFeed())
        return;
    m_uiSkipped = 0;

    {
        std::unique_ptr<CXMLFile> feed = std::make_unique<CXMLFileImpl>(kFeedFile);
        if (!feed->Parse()) {
            char text[128] = {};
            feed->GetLastError(text, sizeof(text));
            FailPass("Error parsing RSS feed: %s\n", text[0] ? text : "not a well-formed XML document");
            return;
        }
        CXMLNode* root = feed->GetRootNode();
        CXMLNode* channel = root ? root->FindSubNode("channel", 0) : nullptr;
        if (!channel) {
            FailPass("Error parsing RSS feed: %s\n", "no channel element");
            return;
        }
        if (CXMLNode* time = channel->FindSubNode("time", 0))
            time->GetTagContent(feedTime, sizeof(feedTime));
        if (!WalkFeed(channel)) {
            m_bPassComplete = false;
            return;
        }
    }

    if (m_bNothingDownloaded)
        PrintMessage("All maps up to date!\n");
    if (m_uiSkipped != 0)
        PrintMessage("Skipped downloading of %d maps\n", static_cast<int>(m_uiSkipped));
    memcpy(m_szLastFeedTime, feedTime, sizeof(m_szLastFeedTime));
    m_uiLastPassTime = m_clock();
}

bool CMapAutoDownload::WalkFeed(CXMLNode* channel)
{
    // One walk over the channel's children by position: a lookup by name and occurrence would
    // rescan the list from the front for every item.
    const unsigned int count = channel->GetSubNodeCount();
    for (unsigned int i = 0; i < count; ++i) {
        CXMLNode* node = channel->GetSubNode(i);
        if (!node)
            continue;
        // Room for more than "item", so a longer name is never cut down to a match.
        char tagName[16];
        node->GetTagName(tagName, sizeof(tagName));
        if (strcasecmp(tagName, "item") != 0)
            continue;
        if (Stopping()) {
            FinishDownloads();
            return false;
        }
        // A download's own outcome is counted when it is collected.
        if (ProcessItem(node) == ItemOutcome::Refused)
            m_bPassComplete = false;
    }
    FinishDownloads();
    return true;
}

void CMapAutoDownload::EndCheckingLine()
{
    if (m_bNothingDownloaded) {
        Print("\n");
        m_bNothingDownloaded = false;
    }
}

bool CMapAutoDownload::StartDownload(std::string head, MapDownload job)
{
    if (!m_pPool) {
        try {
            m_pPool = std::make_unique<CDownloadPool>(
                m_uiParallelDownloads, [this](CTCPImpl& tcp, CHTTPClient& http) {
                    // The TLS settings are read-only once made, so every worker shares them.
                    tcp.SetTLSContext(m_pTCP->TLSContext());
                    ConfigureClient(http);
                });
        } catch (const std::system_error&) {
            // No thread to be had: this map is fetched here and now, as one at a time would be.
            const std::size_t ticket = m_printer.Open(std::move(head));
            MapDownloadResult result = DownloadMap(*m_pHTTP, job);
            if (!result.downloaded)
                m_bPassComplete = false;
            m_printer.Finish(ticket, std::move(result.text));
            return true;
        }
    }
    if (!m_pPool->HasFreeWorker()) {
        while (!m_pPool->HasFreeWorker() && CollectDownloads()) {
        }
        // Time passed while waiting: a stop that came meanwhile starts nothing new.
        if (Stopping())
            return false;
    }
    const std::size_t ticket = m_printer.Open(std::move(head));
    auto entry = std::make_unique<InFlight>();
    // Stands unless the download returns: a worker never lets an exception end the process.
    entry->result.text = Format("Failed\nError downloading %s: %s\n", job.title.c_str(),
                                "unexpected internal error");
    entry->job = std::move(job);
    InFlight* const download = entry.get();
    m_inFlight.emplace(ticket, std::move(entry));
    m_pPool->Start(ticket, [this, download](CHTTPClient& http) {
        download->result = DownloadMap(http, download->job);
    });
    return true;
}

bool CMapAutoDownload::CollectDownloads()
{
    if (!m_pPool || m_pPool->InFlight() == 0)
        return false;
    for (const std::size_t ticket : m_pPool->WaitFinished()) {
        auto found = m_inFlight.find(ticket);
        if (found == m_inFlight.end())
            continue;
        if (!found->second->result.downloaded)
            m_bPassComplete = false;
        m_printer.Finish(ticket, std::move(found->second->result.text));
        m_inFlight.erase(found);
    }
    return true;
}

void CMapAutoDownload::WaitForMap(const std::string& mapPath)
{
    auto busy = [this, &mapPath] {
        for (const auto& entry : m_inFlight) {
            if (entry.second->job.mapPath == mapPath)
                return true;
        }
        return false;
    };
    while (busy() && CollectDownloads()) {
    }
}

void CMapAutoDownload::FinishDownloads()
{
    while (CollectDownloads()) {
    }
    m_pPool.reset();
    m_inFlight.clear();
}

bool CMapAutoDownload::IsIgnored(const char* title) const
{
    for (const char* name : m_vecIgnoredMaps) {
        if (name && strcasecmp(name, title) == 0)
            return true;
    }
    return false;
}

bool CMapAutoDownload::IsProtectedFile(const char* title) const
{
    if (strcmp(title, kConfigFile) != 0 && strcmp(title, kFeedFile) != 0 &&
        strcmp(title, CMapVersionCache::kStateFileName) != 0)
        return false;
    // Maps are saved as "<save path>/<title>", so an empty save path means the root directory.
    const char* directory = m_strSavePath.empty() ? "/" : m_strSavePath.c_str();
    return SameDirectory(directory, ".");
}

CMapAutoDownload::ItemOutcome CMapAutoDownload::ProcessItem(CXMLNode* item)
{
    // Each text buffer has one byte more than the feed's limit, to notice text that would be cut.
    char title[kItemTextSize + 1] = {};
    char link[kItemTextSize + 1] = {};
    unsigned int feedVersion = 0;
    if (CXMLNode* node = item->FindSubNode("title", 0))
        node->GetTagContent(title, sizeof(title));
    if (IsIgnored(title))
        return ItemOutcome::Ignored;
    if (!IsSafeTitle(title) || IsProtectedFile(title)) {
        EndCheckingLine();
        Print(Format("Skipping map with an unsafe name: %s\n", title));
        return ItemOutcome::Refused;
    }
    if (CXMLNode* node = item->FindSubNode("link", 0))
        node->GetTagContent(link, sizeof(link));
    if (CXMLNode* node = item->FindSubNode("version", 0))
        node->GetTagContent(feedVersion);

    char mapPath[kMapPathSize];
    const int pathLength =
        snprintf(mapPath, sizeof(mapPath), "%s/%s", m_strSavePath.c_str(), title);
    if (strlen(title) >= kItemTextSize || pathLength < 0 ||
        static_cast<unsigned int>(pathLength) >= sizeof(mapPath)) {
        EndCheckingLine();
        Print(Format("Skipping map with a name or path that is too long: %s\n", title));
        return ItemOutcome::Refused;
    }

    WaitForMap(mapPath);
    const int localVersion = GetMapVersion(mapPath);
    const bool needed = localVersion == kNoFile || localVersion == kNoVersionRecord ||
                        static_cast<unsigned int>(localVersion) < feedVersion;
    if (!needed)
        return ItemOutcome::UpToDate;

    EndCheckingLine();
    if (strlen(link) >= kItemTextSize) {
        Print(Format("Skipping map with a link that is too long: %s\n", title));
        return ItemOutcome::Refused;
    }
    ++m_iDownloadsThisPass;
    if (m_iDownloadsPerUpdateMax != 0 && m_iDownloadsThisPass > m_iDownloadsPerUpdateMax) {
        ++m_uiSkipped;
        return ItemOutcome::HeldBack;
    }

    std::string head;
    if (localVersion == kNoVersionRecord)
        head = Format("Version info not found in %s, downloading again... ", title);
    else if (localVersion == kNoFile)
        head = Format("Downloading %s... ", title);
    else
        head = Format("Updating %s from version %d to version %d... ", title, localVersion,
                      static_cast<int>(feedVersion));
    MapDownload job;
    job.title = title;
    job.link = link;
    job.mapPath = mapPath;
    job.feedVersion = feedVersion;
    job.localVersion = localVersion;
    if (!StartDownload(std::move(head), std::move(job)))
        return ItemOutcome::NotStarted;
    return ItemOutcome::Downloading;
}

CMapAutoDownload::MapDownloadResult CMapAutoDownload::DownloadMap(CHTTPClient& http,
                                                                  const MapDownload& job)
{
    MapDownloadResult result;
    if (!http.Get(job.link.c_str(), job.mapPath.c_str())) {
        // The old file is untouched and carries its old version, so the next pass tries again.
        result.text = Format("Failed\nError downloading %s: %s\n", job.title.c_str(),
                             http.GetLastError());
        return result;
    }
    result.downloaded = true;
    result.text = "Done\n";
    WriteMapVersion(job.mapPath.c_str(), job.feedVersion);
    return result;
}

int CMapAutoDownload::GetMapVersion(const char* path)
{
    if (!m_pVersionCache)
        return ReadMapVersion(path);
    int version = 0;
    CMapVersionCache::Snapshot before;
    {
        std::lock_guard<std::mutex> lock(m_versionCacheMutex);
        if (m_pVersionCache->Lookup(path, version))
            return version;
        // The identity is taken before reading, so a change made meanwhile is seen next time.
        before = m_pVersionCache->Observe(path);
    }
    version = ReadMapVersion(path);
    std::lock_guard<std::mutex> lock(m_versionCacheMutex);
    m_pVersionCache->Remember(path, before, version);
    return version;
}

int CMapAutoDownload::ReadMapVersion(const char* path)
{
    if (!FileExists(path))
        return kNoFile;
    std::unique_ptr<CXMLFile> map = std::make_unique<CXMLFileImpl>(path);
    if (!map->Parse())
        return kNoVersionRecord;
    CXMLNode* root = map->GetRootNode();
    CXMLNode* meta = root ? root->FindSubNode("meta", 0) : nullptr;
    CXMLNode* version = meta ? meta->FindSubNode("version", 0) : nullptr;
    if (!version)
        return kNoVersionRecord;
    int value = 0;
    if (!version->GetTagContent(value) || value < 0)
        return 0;
    return value;
}

bool CMapAutoDownload::WriteMapVersion(const char* path, unsigned int version)
{
    // Never creates a file: only a map that is there takes a version.
    if (!FileExists(path))
        return false;
    std::unique_ptr<CXMLFile> map = std::make_unique<CXMLFileImpl>(path);
    if (!map->Parse())
        return false;
    CXMLNode* root = map->GetRootNode();
    CXMLNode* meta = root ? root->FindSubNode("meta", 0) : nullptr;
    if (!meta)
        return false;
    CXMLNode* versionNode = meta->FindSubNode("version", 0);
    if (!versionNode)
        versionNode = meta->CreateSubNode("version");
    if (!versionNode)
        return false;
    versionNode->SetTagContent(version);
    // The document layer writes through a temporary file and a rename: on failure the map keeps
    // its old bytes.
    const bool written = map->Write();
    if (m_pVersionCache) {
        std::lock_guard<std::mutex> lock(m_versionCacheMutex);
        if (written)
            m_pVersionCache->Remember(path, static_cast<int>(version));
        else
            m_pVersionCache->Forget(path);
    }
    return written;
}

int RunMapAutoDownload(const CSettings& settings)
{
    const bool runOnce = settings.frequency == 0 || settings.runOnce;
    CSettings passSettings = settings;
    if (runOnce)
        passSettings.frequency = 0;  // due at once, whatever the configured period
    CMapAutoDownload downloader(passSettings);
    // The versions of unchanged maps are remembered across passes and restarts. A state file
    // that is missing or damaged only means the maps are read again.
    CMapVersionCache versions;
    versions.Load(CMapVersionCache::kStateFileName);
    downloader.SetVersionCache(&versions);
    downloader.SetStopCheck(StopRequested);
    while (!StopRequested()) {
        downloader.DoPulse();
        if (versions.HasChanges())
            versions.Save(CMapVersionCache::kStateFileName);
        if (runOnce) {
            PrintMessage("\n");
            // A stop is the operator's own request, in either mode, and ends with success.
            if (StopRequested() || downloader.LastPassComplete())
                return ExitStatus::kSuccess;
            return ExitStatus::kPassIncomplete;
        }
        usleep(1000000);
    }
    return ExitStatus::kSuccess;
}
