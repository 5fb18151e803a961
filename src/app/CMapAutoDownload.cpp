#include "app/CMapAutoDownload.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/CMapVersionCache.h"
#include "fs/CAtomicFile.h"
#include "fs/CInputFile.h"
#include "http/CHTTPClient.h"
#include "tcp/CTCPImpl.h"
#include "xml/CXMLFileImpl.h"
#include "xml/CXMLNode.h"

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
// there: not empty, not "." or "..", and without any path separator. It is also printed, so it
// holds no control bytes (a terminal escape or a line break would forge the operator's log).
bool IsSafeTitle(const char* title)
{
    return title[0] != '\0' && strcmp(title, ".") != 0 && strcmp(title, "..") != 0 &&
           !strchr(title, '/') && !strchr(title, '\\') &&
           std::none_of(title, title + strlen(title), IsControlByte);
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
      m_clock(std::move(clock))
{
    snprintf(m_szLastFeedTime, sizeof(m_szLastFeedTime), "%s", kInitialFeedTime);
    m_pHTTP->SetTimeout(settings.timeoutSeconds * 1000u);
}

CMapAutoDownload::~CMapAutoDownload() = default;

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
    m_uiLastPassTime = m_clock();
}

bool CMapAutoDownload::FetchFeed()
{
    char requestUrl[kRequestUrlSize];
    const int length = snprintf(requestUrl, sizeof(requestUrl), "%s&time=%s",
                                m_strFeedUrl.c_str(), m_szLastFeedTime);
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

    {
        // Re-read without a fetch after held-back maps: by then anything may have that name.
        if (!FileExists(kFeedFile)) {
            FailPass("Error parsing RSS feed: %s\n", "autoupdate.xml is not a readable regular file");
            return;
        }
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
        if (!WalkFeed(channel))
            return;
    }

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
        if (Stopping())
            return false;
        if (ProcessItem(node) == ItemOutcome::DownloadFailed)
            m_bMapFailed = true;
    }
    return true;
}

void CMapAutoDownload::EndCheckingLine()
{
    if (m_bNothingDownloaded) {
        PrintMessage("\n");
        m_bNothingDownloaded = false;
    }
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
        PrintMessage("Skipping map with an unsafe name: %s\n", PrintableTitle(title).c_str());
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
        PrintMessage("Skipping map with a name or path that is too long: %s\n", title);
        return ItemOutcome::Refused;
    }

    if (!IsMapFileUsable(mapPath, title))
        return ItemOutcome::Refused;

    const int localVersion = GetMapVersion(mapPath);
    const bool needed = localVersion == kNoFile || localVersion == kNoVersionRecord ||
                        static_cast<unsigned int>(localVersion) < feedVersion;
    if (!needed)
        return ItemOutcome::UpToDate;

    EndCheckingLine();
    if (strlen(link) >= kItemTextSize) {
        PrintMessage("Skipping map with a link that is too long: %s\n", title);
        return ItemOutcome::Refused;
    }
    ++m_iDownloadsThisPass;
    if (m_iDownloadsPerUpdateMax != 0 && m_iDownloadsThisPass > m_iDownloadsPerUpdateMax) {
        ++m_uiSkipped;
        return ItemOutcome::HeldBack;
    }

    if (localVersion == kNoVersionRecord)
        PrintMessage("Version info not found in %s, downloading again... ", title);
    else if (localVersion == kNoFile)
        PrintMessage("Downloading %s... ", title);
    else
        PrintMessage("Updating %s from version %d to version %d... ", title, localVersion,
                     static_cast<int>(feedVersion));

    if (!m_pHTTP->Get(link, mapPath)) {
        // The old file is untouched and carries its old version, so the next pass tries again.
        PrintMessage("Failed\n");
        PrintMessage("Error downloading %s: %s\n", title, m_pHTTP->GetLastError());
        return ItemOutcome::DownloadFailed;
    }
    PrintMessage("Done\n");
    WriteMapVersion(mapPath, feedVersion);
    return ItemOutcome::Downloaded;
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
        PrintMessage("Skipping map that is not a regular file: %s\n", title);
        return false;
    case CInputFile::Status::Unreadable:
        break;
    }
    EndCheckingLine();
    PrintMessage("Cannot read map %s: %s\n", title, strerror(error));
    return false;
}

int CMapAutoDownload::GetMapVersion(const char* path)
{
    if (!m_pVersionCache)
        return ReadMapVersion(path);
    int version = 0;
    if (m_pVersionCache->Lookup(path, version))
        return version;
    // The identity is taken before reading, so a change made meanwhile is seen next time.
    const CMapVersionCache::Snapshot before = m_pVersionCache->Observe(path);
    version = ReadMapVersion(path);
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
    CMapAutoDownload downloader(settings);
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
        if (settings.frequency == 0) {
            PrintMessage("\n");
            return 0;
        }
        usleep(1000000);
    }
    return 0;
}
