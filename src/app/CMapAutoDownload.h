#ifndef MAD_APP_CMAPAUTODOWNLOAD_H
#define MAD_APP_CMAPAUTODOWNLOAD_H

#include <cstddef>
#include <functional>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/CFeedReader.h"
#include "app/COrderedPrinter.h"
#include "app/CSettings.h"
#include "app/Utils.h"

class CDownloadPool;
class CHTTPClient;
class CMapVersionCache;
class CTCPImpl;

// The update pass: fetches the feed into autoupdate.xml (in the working directory), compares each
// listed map with the version recorded in its file under the save path, downloads what is missing
// or older (within the per-pass limit) and stamps the feed's version into the downloaded file.
// Owns its TCP factory and the HTTP client bound to it (for the feed), and during a pass the pool
// of workers that download maps side by side, each with a client of its own. The decisions are
// taken on the calling thread in feed order and every line is printed from it, in feed order.
// The ignored names are borrowed: only the pointers are copied, and the names must outlive this
// object.
class CMapAutoDownload {
public:
    // Milliseconds of a clock that may wrap; production uses GetTime.
    using Clock = std::function<unsigned int()>;

    static constexpr unsigned int kRequestUrlSize = 512;
    static constexpr unsigned int kMapPathSize = 512;
    static constexpr unsigned int kFeedTimeSize = 50;
    static constexpr unsigned int kItemTextSize = 255;
    // The longest feed URL whose request ("&time=" or "?time=" plus the longest feed time) always
    // fits.
    static constexpr unsigned int kMaxFeedUrlLength =
        kRequestUrlSize - 1 - (sizeof("&time=") - 1) - (kFeedTimeSize - 1);

    // The longest period the wrapping millisecond clock can measure at one-second ticks (about
    // 49.7 days); longer frequencies act as this.
    static constexpr unsigned int kLongestPeriodMs = 0xFFFFFFFFu - 10000u;

    // GetMapVersion results besides a version.
    static constexpr int kNoFile = -1;
    static constexpr int kNoVersionRecord = -2;

    explicit CMapAutoDownload(const CSettings& settings, Clock clock = GetTime);
    ~CMapAutoDownload();
    CMapAutoDownload(const CMapAutoDownload&) = delete;
    CMapAutoDownload& operator=(const CMapAutoDownload&) = delete;

    // Runs one pass when one is due by the clock; prints its progress on standard output.
    void DoPulse();

    // The version recorded in the map file at path; kNoFile when it cannot be opened for reading,
    // kNoVersionRecord when it holds no readable root/meta/version record, 0 for a version text
    // that is not a number or is negative.
    int GetMapVersion(const char* path);
    // Stores version into the map file's meta/version record (created under meta when missing),
    // changing no other byte, and replaces the file atomically. False when the file is missing,
    // not XML, has no meta element or cannot be written; the file then keeps its old bytes.
    bool WriteMapVersion(const char* path, unsigned int version);

    enum class DownloadOutcome { Failed, Stamped, Unstamped };
    // Downloads link and, when the body is a well-formed XML document, replaces the map at
    // mapPath with it in one rename, its version record already set to version, its bytes on disk
    // (the directory entry is left for the caller to sync, as a pass does once). Failed: the old
    // map (or its absence) is as it was, no temporary file remains, detail says why. Unstamped:
    // the new map is in place as downloaded, and detail says why it carries no version. Uses
    // only its arguments, so any thread may call it with its own client.
    static DownloadOutcome DownloadAndStamp(CHTTPClient& http, const char* link, const char* mapPath,
                                            unsigned int version, std::string& detail);

    // Asked before each map of a pass: once it answers true the pass ends after the map in
    // progress, without its summary lines. Unset, a pass always runs to its end.
    void SetStopCheck(std::function<bool()> stopRequested) { m_stopRequested = std::move(stopRequested); }

    // Remembers map versions between passes; not owned. Null reads every map in full.
    void SetVersionCache(CMapVersionCache* cache) { m_pVersionCache = cache; }

    // Whether the last pass brought every map it listed up to date: false before the first pass,
    // and after a pass whose feed could not be fetched or parsed, that a stop request cut short,
    // or in which a map failed to download or was refused (unsafe or too long a name or link).
    // Maps held back by the per-pass limit, and a version that could not be stamped into a map
    // that arrived whole, do not count against it.
    bool LastPassComplete() const { return m_bPassComplete; }

    // One map to fetch, as the pass decided it.
    struct MapDownload {
        std::string title;
        std::string link;
        std::string mapPath;
        unsigned int feedVersion = 0;
        // What GetMapVersion found before the download.
        int localVersion = kNoFile;
    };
    // How a map download ended, and the text that completes its line on the console.
    struct MapDownloadResult {
        bool downloaded = false;
        std::string text;
    };
    // Fetches and stamps one map with the given client; prints nothing. Runs on a worker thread,
    // several at once for different maps.
    MapDownloadResult DownloadMap(CHTTPClient& http, const MapDownload& job);

    // The feed's time stamp that the next incremental request will carry.
    const char* LastFeedTime() const { return m_szLastFeedTime; }

private:
    // A started download's own outcome comes with its result (MapDownloadResult::downloaded).
    enum class ItemOutcome { UpToDate, Ignored, Refused, HeldBack, Downloading, NotStarted };

    // Time-out, redirects and stop check of any client this downloader uses, its own or a worker's.
    void ConfigureClient(CHTTPClient& http) const;
    bool IsDue(unsigned int now) const;
    bool FetchFeed();
    bool Stopping() const { return m_stopRequested && m_stopRequested(); }
    ItemOutcome ProcessItem(const CFeedReader::Item& item);
    // Ends the "Checking RSS feed... " line before the pass's first per-map message.
    void EndCheckingLine();
    bool IsIgnored(const char* title) const;
    // config.xml, autoupdate.xml or the version memory of the working directory, reached through
    // the save path.
    bool IsProtectedFile(const char* title) const;
    // False, with the reason printed, for a map path that exists but is not a readable regular file.
    bool IsMapFileUsable(const char* path, const char* title);
    int ReadMapVersion(const char* path);
    void FailPass(const char* format, const char* detail);
    // Pass output that does not wait for a download, released in feed order.
    void Print(std::string text) { m_printer.Add(std::move(text)); }
    // Hands the map to a free worker, printing finished maps while it waits for one. False, with
    // nothing started, when a stop came while waiting.
    bool StartDownload(std::string head, MapDownload job);
    // Waits until at least one download has finished and prints what can be printed. False, at
    // once, when none is in flight.
    bool CollectDownloads();
    // Waits until no download for this path is in flight, so a map listed twice is judged by what
    // the first download left.
    void WaitForMap(const std::string& mapPath);
    // Waits for every download of the pass and prints the rest of its lines.
    void FinishDownloads();

    unsigned int m_uiFrequency;
    unsigned int m_uiLastPassTime = 0;
    std::unique_ptr<CTCPImpl> m_pTCP;
    std::unique_ptr<CHTTPClient> m_pHTTP;
    std::string m_strFeedUrl;
    std::string m_strSavePath;
    char m_szLastFeedTime[kFeedTimeSize];
    unsigned int m_uiPassCounter = 0;
    unsigned int m_uiFullCheckFrequency;
    std::vector<char*> m_vecIgnoredMaps;
    unsigned int m_uiSkipped = 0;
    int m_iDownloadsPerUpdateMax;
    // Kept as the configuration gave it; nothing reads it.
    [[maybe_unused]] int m_iMaxMapCount;
    Clock m_clock;
    CMapVersionCache* m_pVersionCache = nullptr;
    std::function<bool()> m_stopRequested;
    unsigned int m_uiParallelDownloads;
    unsigned int m_uiTimeoutMs;
    unsigned int m_uiMaxRedirects;
    // Guards m_pVersionCache's contents: workers record what they stamped.
    std::mutex m_versionCacheMutex;
    // Every worker was busy when the last download was handed out: more are likely to follow,
    // so workers start their next connection ahead. Written by the owner thread, read by workers.
    std::atomic<bool> m_bBacklog{false};

    // State of the pass in progress.
    bool m_bNothingDownloaded = true;
    bool m_bPassComplete = false;
    // Some map download of the pass failed: the feed time then stays, so it is asked for again.
    bool m_bMapFailed = false;
    int m_iDownloadsThisPass = 0;
    COrderedPrinter m_printer;
    struct InFlight {
        MapDownload job;
        MapDownloadResult result;
    };
    // Started downloads by printer ticket; each result is written by its worker only.
    std::map<std::size_t, std::unique_ptr<InFlight>> m_inFlight;
    // Created by the pass's first download, dropped at its end. Declared last so that, whatever
    // way the object goes, the workers are joined before anything they write to is destroyed.
    std::unique_ptr<CDownloadPool> m_pPool;
};

// Constructs one downloader and drives it. Run-once (frequency 0 or runOnce): one pass then "\n",
// and 0 when the pass was complete, 3 otherwise. Periodic: a pass check every second until a
// stop request, then 0.
int RunMapAutoDownload(const CSettings& settings);

#endif
