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
#include "fs/CAtomicFile.h"
#include "fs/CInputFile.h"
#include "http/CHTTPClient.h"
#include "tcp/CTCPImpl.h"
#include "tcp/CTLSContext.h"
#include "xml/CMapVersionRecord.h"
#include "xml/CMapVersionStamp.h"

namespace {

const char kFeedFile[] = "autoupdate.xml";
const char kConfigFile[] = "config.xml";
const char kInitialFeedTime[] = "00-00-00 00:00:00";

bool IsControlByte(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

// A title is used as a file name inside the save directory, so it must name exactly one entry
// there: not empty, not "." or "..", without any path separator, and not of the temporary-file
// pattern (the start-up clean-up would remove such a map). It is also printed, so it holds no
// control bytes (a terminal escape or a line break would forge the operator's log).
bool IsSafeTitle(const char* title)
{
    return title[0] != '\0' && strcmp(title, ".") != 0 && strcmp(title, "..") != 0 &&
           !strchr(title, '/') && !strchr(title, '\\') &&
           std::none_of(title, title + strlen(title), IsControlByte) && !CAtomicFile::IsTemporaryName(title);
}

// The title as it may be printed: each control byte as \xHH.
std::string PrintableTitle(const char* title)
{
    std::string text;
    for (const char* p = title; *p != '\0'; ++p) {
        if (!IsControlByte(*p)) {
            text += *p;
            continue;
        }
        char escaped[5];
        snprintf(escaped, sizeof(escaped), "\\x%02x", static_cast<unsigned char>(*p));
        text += escaped;
    }
    return text;
}

// Only a regular file counts: a FIFO, socket or device of that name is never opened to read.
bool FileExists(const char* path)
{
    int error = 0;
    return CInputFile::Check(path, error) == CInputFile::Status::Regular;
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
    m_bMapFailed = false;
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

    // Re-read without a fetch after held-back maps: by then anything may have that name.
    if (!FileExists(kFeedFile)) {
        FailPass("Error parsing RSS feed: %s\n", "autoupdate.xml is not a readable regular file");
        return;
    }
    CFeedReader feed(m_stopRequested);
    const CFeedReader::Result walked = feed.Walk(kFeedFile, [this](const CFeedReader::Item& item) {
        // A stop request ends the pass after the maps in progress.
        if (Stopping())
            return false;
        // A download's own outcome is counted when it is collected.
        if (ProcessItem(item) == ItemOutcome::Refused)
            m_bPassComplete = false;
        return true;
    });
    FinishDownloads();
    // A stop that came during the last maps ends the pass as one during the walk does: without
    // summary lines, and the feed time stays, so what was not fetched is asked for again.
    if (walked == CFeedReader::Result::Complete && Stopping()) {
        m_bPassComplete = false;
        return;
    }
    switch (walked) {
    case CFeedReader::Result::Failed:
        FailPass("Error parsing RSS feed: %s\n", (std::string(kFeedFile) + ": " + feed.Error()).c_str());
        return;
    case CFeedReader::Result::NoChannel:
        FailPass("Error parsing RSS feed: %s\n", "no channel element");
        return;
    case CFeedReader::Result::Ended:
    case CFeedReader::Result::Stopped:
        m_bPassComplete = false;
        return;
    case CFeedReader::Result::Complete:
        break;
    }
    snprintf(feedTime, sizeof(feedTime), "%s", feed.Time());

    if (m_bNothingDownloaded)
        PrintMessage("All maps up to date!\n");
    if (m_uiSkipped != 0)
        PrintMessage("Skipped downloading of %d maps\n", static_cast<int>(m_uiSkipped));
    // A map that failed is listed again only by a request that reaches back as far as this one
    // did, so the feed time moves on only after a pass without failures.
    if (!m_bMapFailed)
        memcpy(m_szLastFeedTime, feedTime, sizeof(m_szLastFeedTime));
    m_uiLastPassTime = m_clock();
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
                    // Hides each map's connection handshake behind the download before it. One
                    // at a time stays one connection at a time.
                    if (m_uiParallelDownloads > 1)
                        http.SetConnectAhead([this] { return m_bBacklog.load() && !StopRequested(); });
                });
        } catch (const std::system_error&) {
            // No thread to be had: this map is fetched here and now, as one at a time would be.
            const std::size_t ticket = m_printer.Open(std::move(head));
            MapDownloadResult result = DownloadMap(*m_pHTTP, job);
            if (!result.downloaded) {
                m_bPassComplete = false;
                m_bMapFailed = true;
            }
            m_printer.Finish(ticket, std::move(result.text));
            return true;
        }
    }
    m_bBacklog = !m_pPool->HasFreeWorker();
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
        if (!found->second->result.downloaded) {
            m_bPassComplete = false;
            m_bMapFailed = true;
        }
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
    m_bBacklog = false;
    while (CollectDownloads()) {
    }
    m_pPool.reset();
    m_inFlight.clear();
    // Once for all the maps renamed into place, rather than once for each.
    if (m_iDownloadsThisPass > 0)
        CAtomicFile::SyncDirectory(m_strSavePath);
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
    // Ignoring case: on a file system that does (vfat, SMB, casefolded ext4) "CONFIG.XML" is config.xml.
    if (strcasecmp(title, kConfigFile) != 0 && strcasecmp(title, kFeedFile) != 0 &&
        strcasecmp(title, CMapVersionCache::kStateFileName) != 0)
        return false;
    // Maps are saved as "<save path>/<title>", so an empty save path means the root directory.
    const char* directory = m_strSavePath.empty() ? "/" : m_strSavePath.c_str();
    return SameDirectory(directory, ".");
}

static_assert(CFeedReader::kItemTextSize == CMapAutoDownload::kItemTextSize + 1,
              "each text buffer has one byte more than the feed's limit, to notice text that would be cut");

CMapAutoDownload::ItemOutcome CMapAutoDownload::ProcessItem(const CFeedReader::Item& item)
{
    const char* title = item.title;
    const char* link = item.link;
    const unsigned int feedVersion = item.version;
    if (IsIgnored(title))
        return ItemOutcome::Ignored;
    if (!IsSafeTitle(title) || IsProtectedFile(title)) {
        EndCheckingLine();
        Print(Format("Skipping map with an unsafe name: %s\n", PrintableTitle(title).c_str()));
        return ItemOutcome::Refused;
    }

    char mapPath[kMapPathSize];
    const int pathLength =
        snprintf(mapPath, sizeof(mapPath), "%s/%s", m_strSavePath.c_str(), title);
    if (strlen(title) >= kItemTextSize || pathLength < 0 ||
        static_cast<unsigned int>(pathLength) >= sizeof(mapPath)) {
        EndCheckingLine();
        Print(Format("Skipping map with a name or path that is too long: %s\n", title));
        return ItemOutcome::Refused;
    }

    if (!IsMapFileUsable(mapPath, title))
        return ItemOutcome::Refused;

    WaitForMap(mapPath);
    const int localVersion = GetMapVersion(mapPath);
    // A stop request that cut the read short starts no download.
    if (Stopping())
        return ItemOutcome::UpToDate;
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
    std::string detail;
    const DownloadOutcome outcome =
        DownloadAndStamp(http, job.link.c_str(), job.mapPath.c_str(), job.feedVersion, detail);
    if (outcome == DownloadOutcome::Failed) {
        // The old file is untouched and carries its old version, so the next pass tries again.
        result.text = Format("Failed\nError downloading %s: %s\n", job.title.c_str(), detail.c_str());
        return result;
    }
    result.downloaded = true;
    result.text = "Done\n";
    if (outcome == DownloadOutcome::Unstamped)
        result.text += Format("Could not record the version of %s: %s\n", job.title.c_str(), detail.c_str());
    if (m_pVersionCache) {
        // A map that cannot carry its version is remembered as the feed's version while it stays
        // exactly this file, so it is not fetched again on every pass.
        std::lock_guard<std::mutex> lock(m_versionCacheMutex);
        if (outcome == DownloadOutcome::Stamped)
            m_pVersionCache->Remember(job.mapPath.c_str(), static_cast<int>(job.feedVersion));
        else
            m_pVersionCache->RememberAssumed(job.mapPath.c_str(), static_cast<int>(job.feedVersion));
    }
    return result;
}

CMapAutoDownload::DownloadOutcome CMapAutoDownload::DownloadAndStamp(CHTTPClient& http, const char* link,
                                                                     const char* mapPath, unsigned int version,
                                                                     std::string& detail)
{
    // The body lands in a file of the owned temporary pattern beside the map; this object owns
    // that name and removes whatever is there on every path. It is never committed nor flushed to
    // disk: it is only read back and copied into the map's own file below, which is.
    CAtomicFile download(mapPath, CAtomicFile::Sync::Fast);
    const std::string writeFailure = "Unable to write destination file ";
    if (!download.Open()) {
        detail = writeFailure + mapPath + ": " + download.ErrorText();
        return DownloadOutcome::Failed;
    }
    if (!http.Get(link, download)) {
        detail = http.GetLastError();
        // The client names at most the last part of a long path; the operator gets the whole one.
        const std::size_t reason = detail.rfind(": ");
        if (detail.compare(0, writeFailure.size(), writeFailure) == 0 && reason != std::string::npos)
            detail = writeFailure + mapPath + detail.substr(reason);
        return DownloadOutcome::Failed;
    }
    // Not cut short by a stop request: the download in progress ends the normal way.
    CMapVersionRecord record;
    if (!record.Read(download.TemporaryPath().c_str())) {
        detail = "not an XML document (" + record.Error() + ")";
        return DownloadOutcome::Failed;
    }
    CMapVersionStamp stamp;
    if (stamp.Locate(download.TemporaryPath().c_str(), version) &&
        (stamp.FoundMeta() != record.HasMeta() || stamp.FoundVersion() != record.HasVersion()))
        stamp.Drop("version record not understood");
    // One rename puts the new map, already carrying its version, in place of the old one. Its
    // bytes are on disk before the rename; the save directory is synced once for the whole pass.
    CAtomicFile map(mapPath, CAtomicFile::Sync::Data);
    if (!map.Open() || !stamp.CopyTo(map) || !map.Commit()) {
        detail = "cannot write " + std::string(mapPath) + ": " +
                 (map.Error() != 0 ? map.ErrorText() : stamp.Reason());
        return DownloadOutcome::Failed;
    }
    if (!stamp.Located()) {
        detail = stamp.Reason();
        return DownloadOutcome::Unstamped;
    }
    return DownloadOutcome::Stamped;
}

bool CMapAutoDownload::IsMapFileUsable(const char* path, const char* title)
{
    // A map that is there but cannot be read is left alone: downloading it again would only
    // repeat on every pass, and the replacement would take the old file's mode.
    int error = 0;
    switch (CInputFile::Check(path, error)) {
    case CInputFile::Status::Regular:
    case CInputFile::Status::Missing:
        return true;
    case CInputFile::Status::NotRegular:
        EndCheckingLine();
        Print(Format("Skipping map that is not a regular file: %s\n", title));
        return false;
    case CInputFile::Status::Unreadable:
        break;
    }
    EndCheckingLine();
    Print(Format("Cannot read map %s: %s\n", title, strerror(error)));
    return false;
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
    // A read cut short by a stop request says nothing about the file.
    if (!Stopping())
        m_pVersionCache->Remember(path, before, version);
    return version;
}

int CMapAutoDownload::ReadMapVersion(const char* path)
{
    if (!FileExists(path))
        return kNoFile;
    // A huge map is read within about a second of a stop request.
    CMapVersionRecord record;
    if (!record.Read(path, m_stopRequested) || !record.HasVersion())
        return kNoVersionRecord;
    return record.Version();
}

bool CMapAutoDownload::WriteMapVersion(const char* path, unsigned int version)
{
    // Never creates a file: only a map that is there takes a version.
    if (!FileExists(path))
        return false;
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
void SaveVersions(CMapVersionCache& versions, int& lastError)
{
    if (!versions.HasChanges())
        return;
    if (versions.Save(CMapVersionCache::kStateFileName)) {
        lastError = 0;
        return;
    }
    if (versions.SaveError() != lastError)
        PrintMessage("Unable to save the remembered map versions to %s: %s\n",
                     CMapVersionCache::kStateFileName, strerror(versions.SaveError()));
    lastError = versions.SaveError();
}

}  // namespace

int RunMapAutoDownload(const CSettings& settings)
{
    // Temporary files of an earlier run that was killed before it could remove them.
    CAtomicFile::RemoveLeftovers(settings.savePath);
    CAtomicFile::RemoveLeftovers(".");
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
    int saveError = 0;
    while (!StopRequested()) {
        downloader.DoPulse();
        SaveVersions(versions, saveError);
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
