#ifndef MAD_APP_CMAPAUTODOWNLOAD_H
#define MAD_APP_CMAPAUTODOWNLOAD_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CSettings.h"
#include "app/Utils.h"

class CHTTPClient;
class CMapVersionCache;
class CTCPImpl;
class CXMLNode;

// The update pass: fetches the feed into autoupdate.xml (in the working directory), compares each
// listed map with the version recorded in its file under the save path, downloads what is missing
// or older (within the per-pass limit) and stamps the feed's version into the downloaded file.
// Owns its TCP factory and the HTTP client bound to it. The ignored names are borrowed: only the
// pointers are copied, and the names must outlive this object.
class CMapAutoDownload {
public:
    // Milliseconds of a clock that may wrap; production uses GetTime.
    using Clock = std::function<unsigned int()>;

    static constexpr unsigned int kRequestUrlSize = 512;
    static constexpr unsigned int kMapPathSize = 512;
    static constexpr unsigned int kFeedTimeSize = 50;
    static constexpr unsigned int kItemTextSize = 255;
    // The longest feed URL whose request ("&time=" plus the longest feed time) always fits.
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
    // Stores version into the map file's meta/version record (created under meta when missing)
    // and writes the file back atomically. False when the file is missing, not XML, has no meta
    // element or cannot be written; the file then keeps its old bytes.
    bool WriteMapVersion(const char* path, unsigned int version);

    // Asked before each map of a pass: once it answers true the pass ends after the map in
    // progress, without its summary lines. Unset, a pass always runs to its end.
    void SetStopCheck(std::function<bool()> stopRequested) { m_stopRequested = std::move(stopRequested); }

    // Remembers map versions between passes; not owned. Null reads every map in full.
    void SetVersionCache(CMapVersionCache* cache) { m_pVersionCache = cache; }

    // The feed's time stamp that the next incremental request will carry.
    const char* LastFeedTime() const { return m_szLastFeedTime; }

private:
    enum class ItemOutcome { UpToDate, Ignored, Refused, HeldBack, Downloaded, DownloadFailed };

    bool IsDue(unsigned int now) const;
    bool FetchFeed();
    // False when a stop request ended the walk early.
    bool WalkFeed(CXMLNode* channel);
    bool Stopping() const { return m_stopRequested && m_stopRequested(); }
    ItemOutcome ProcessItem(CXMLNode* item);
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
    // Held as configured; it limits nothing.
    [[maybe_unused]] int m_iMaxMapCount;
    Clock m_clock;
    CMapVersionCache* m_pVersionCache = nullptr;
    std::function<bool()> m_stopRequested;

    // State of the pass in progress.
    bool m_bNothingDownloaded = true;
    bool m_bMapFailed = false;
    int m_iDownloadsThisPass = 0;
};

// Constructs one downloader and drives it: one pass then "\n" and 0 when the frequency is 0,
// otherwise a pass check every second forever.
int RunMapAutoDownload(const CSettings& settings);

#endif
