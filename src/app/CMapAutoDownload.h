#ifndef MAD_APP_CMAPAUTODOWNLOAD_H
#define MAD_APP_CMAPAUTODOWNLOAD_H

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/CPassExecutor.h"
#include "app/CPassPlanner.h"
#include "app/CPassResult.h"
#include "app/CSettings.h"
#include "app/Utils.h"
#include "fs/CDirectory.h"

class CAtomicFile;
class CHTTPClient;
class CMapVersionCache;
class CTCPImpl;

// The update pass: fetches the feed into autoupdate.xml (in the working directory), has a
// CPassPlanner decide each listed map against the disk, has a CPassExecutor download what is
// missing or older and stamp the feed's version into it, and keeps what became of it as a
// CPassResult. A dry run fetches the feed into a temporary file, prints the plan and writes
// nothing. Owns its TCP factory and the HTTP client bound to it (for the feed). The decisions are
// taken on the calling thread in feed order, one item at a time, while earlier downloads run, and
// every line is printed from it, in feed order. The ignored names are borrowed: only the pointers
// are copied, and the names must outlive this object.
class CMapAutoDownload {
public:
    // Milliseconds of a clock that may wrap; production uses GetTime.
    using Clock = std::function<unsigned int()>;
    // A delay from 0 to the given milliseconds, both included; production draws it at random.
    using SplayDraw = std::function<unsigned int(unsigned int longestMs)>;

    static constexpr unsigned int kRequestUrlSize = 512;
    static constexpr unsigned int kFeedTimeSize = 50;
    // The longest feed URL whose request ("&time=" or "?time=" plus the longest feed time) always
    // fits.
    static constexpr unsigned int kMaxFeedUrlLength =
        kRequestUrlSize - 1 - (sizeof("&time=") - 1) - (kFeedTimeSize - 1);

    // The largest feed fetched: some 5,000,000 items. A server that streams without end would
    // otherwise hold the pass and fill the working directory's disk.
    static constexpr unsigned long long kMaxFeedBytes = 1ull << 30;
    // The longest period the wrapping millisecond clock can measure at one-second ticks (about
    // 49.7 days); longer frequencies act as this.
    static constexpr unsigned int kLongestPeriodMs = 0xFFFFFFFFu - 10000u;

    // GetMapVersion results besides a version.
    static constexpr int kNoFile = CPassPlanner::kNoFile;
    static constexpr int kNoVersionRecord = CPassPlanner::kNoVersionRecord;
    static constexpr int kCannotRead = CPassPlanner::kCannotRead;

    explicit CMapAutoDownload(const CSettings& settings, Clock clock = GetTime);
    ~CMapAutoDownload();
    CMapAutoDownload(const CMapAutoDownload&) = delete;
    CMapAutoDownload& operator=(const CMapAutoDownload&) = delete;

    // Runs one pass when one is due by the clock or was asked for; prints its progress on
    // standard output. True when a pass ran.
    bool DoPulse();
    // Makes the next DoPulse run a pass, whatever the schedule.
    void RequestPass() { m_bPassRequested = true; }
    // Takes over the schedule of the downloader this one replaces: its next pass comes when the
    // previous one's would have.
    void ContinueSchedule(const CMapAutoDownload& previous) { m_uiLastPassTime = previous.m_uiLastPassTime; }

    // The version recorded in the map file at path; kNoFile when there is no regular file there,
    // kCannotRead when it cannot be opened or read, kNoVersionRecord when it holds no readable
    // root/meta/version record, 0 for a version text that is not a number or is negative.
    int GetMapVersion(const char* path);
    // Stores version into the map file's meta/version record (created under meta when missing),
    // changing no other byte, and replaces the file atomically. False when the file is missing,
    // not XML, has no meta element or cannot be written; the file then keeps its old bytes.
    bool WriteMapVersion(const char* path, unsigned int version);

    enum class DownloadOutcome { Failed, Stamped, Unstamped };
    // Downloads link and, when the body is a well-formed XML document that is a map (not a page
    // with an html root, not a feed, and with a meta element when the map it replaces has a
    // version record), makes stamped the replacement of the map name in the open directory
    // directoryFd (mapPath is how messages call it), its version record already set to version:
    // complete and not yet committed. Its commit (CAtomicFile::Commit: its bytes on disk, then
    // one rename; the directory entry is left for the caller to sync, as a pass does once) puts
    // it in place; a failed commit is CannotWrite. Failed: stamped is null, the old map (or its
    // absence) is as it was, no temporary file remains, detail says why. Unstamped: the map as
    // downloaded, and detail says why it carries no version. A body longer than maxBytes (0: no
    // limit) fails. Uses only its arguments, so any thread may call it with its own client.
    static DownloadOutcome DownloadAndStamp(CHTTPClient& http, const char* link, int directoryFd, const char* name,
                                            const char* mapPath, unsigned int version, std::string& detail,
                                            std::unique_ptr<CAtomicFile>& stamped, unsigned long long maxBytes = 0);
    // The detail of a map that could not be written or put in place for reason.
    static std::string CannotWrite(const char* mapPath, const std::string& reason);

    // Replaces the random draw of each pass's delay (splay) and draws the next pass's with it.
    void SetSplayDraw(SplayDraw draw);

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
    bool LastPassComplete() const { return m_lastPass.complete; }
    // What the last pass decided and what became of it; a default result before the first pass.
    const CPassResult& LastPass() const { return m_lastPass; }

    // Fetches one map with the given client; prints nothing. The outcome's settle step checks and
    // stamps the body into the map to commit, and its completion, run after the commit, records
    // its version. Runs on a worker thread, several at once for different maps; the settle step
    // may run on any one thread after it.
    CPassExecutor::Outcome DownloadMap(CHTTPClient& http, const CPassPlanner::Fetch& fetch);

    // The feed's time stamp that the next incremental request will carry.
    const char* LastFeedTime() const { return m_szLastFeedTime; }

private:
    class PassDisk;
    class ReceivedMap;

    // The first half of DownloadAndStamp: the body arrives in the map's sink. False (detail says
    // why, no temporary file remains) when it cannot be had.
    static bool ReceiveMap(CHTTPClient& http, const char* link, unsigned long long maxBytes, ReceivedMap& map,
                           std::string& detail);
    // The second half: the received body checked and stamped into the map to commit.
    static DownloadOutcome SettleMap(ReceivedMap& map, std::string& detail, std::unique_ptr<CAtomicFile>& stamped);
    // Completes a map's outcome from SettleMap.
    void Settled(const CPassPlanner::Fetch& job, ReceivedMap& map, CPassExecutor::Outcome& result);

    // Time-out, redirects and stop check of any client this downloader uses, its own or a worker's.
    void ConfigureClient(CHTTPClient& http) const;
    bool IsDue(unsigned int now) const;
    // Fetches the feed into file, opened here and left uncommitted; false, with the pass failed,
    // when it cannot be had.
    bool FetchFeed(CAtomicFile& file, CPassResult& result);
    // "Unable to write destination file <file>: <reason>" for file's failure.
    static std::string CannotWriteFeed(const CAtomicFile& file);
    void RunPass(CPassResult& result);
    // Walks the stored feed at path through the planner and the executor; false when the pass
    // ended without its summary lines, else feedTime is the feed's time.
    bool WalkFeed(const char* path, CPassResult& result, std::string& feedTime);
    bool Stopping() const { return m_stopRequested && m_stopRequested(); }
    // GetMapVersion of name in directoryFd, remembered under path; error is the errno of kCannotRead.
    int GetMapVersion(int directoryFd, const char* name, const char* path, int& error);
    int ReadMapVersion(int directoryFd, const char* name, int& error);
    // What GetMapVersion would leave of a map known to be missing: no remembered version.
    void ForgetMapVersion(const std::string& path);
    void FailPass(CPassResult& result, const char* format, const char* detail);

    unsigned int m_uiFrequency;
    bool m_bDryRun;
    unsigned int m_uiLastPassTime = 0;
    bool m_bPassRequested = false;
    // The longest delay of a pass after its due time, and the one drawn for the next pass.
    unsigned int m_uiSplayMs;
    unsigned int m_uiDelayMs = 0;
    SplayDraw m_drawSplay;
    std::unique_ptr<CTCPImpl> m_pTCP;
    // Declared before the clients, which borrow it; null without a cap.
    std::unique_ptr<CRateLimiter> m_pRateLimiter;
    std::unique_ptr<CHTTPClient> m_pHTTP;
    std::string m_strFeedUrl;
    std::string m_strSavePath;
    char m_szLastFeedTime[kFeedTimeSize];
    unsigned int m_uiPassCounter = 0;
    // Maps the per-pass limit held back in the last pass, read from the stored feed in the next.
    unsigned int m_uiHeldBack = 0;
    // The feed time the stored feed was asked with: how far back the next request must reach
    // when a map it listed fails in a later pass.
    std::string m_strStoredFeedAsked;
    unsigned int m_uiFullCheckFrequency;
    std::vector<char*> m_vecIgnoredMaps;
    int m_iDownloadsPerUpdateMax;
    // Kept as the configuration gave it; nothing reads it.
    [[maybe_unused]] int m_iMaxMapCount;
    Clock m_clock;
    CMapVersionCache* m_pVersionCache = nullptr;
    std::function<bool()> m_stopRequested;
    unsigned int m_uiParallelDownloads;
    unsigned int m_uiTimeoutMs;
    unsigned int m_uiMaxRedirects;
    unsigned long long m_ullMaxMapSize;
    unsigned int m_uiRetries;
    CProxySelector m_proxies;
    // Guards m_pVersionCache's contents: workers record what they stamped.
    std::mutex m_versionCacheMutex;
    CPassResult m_lastPass;
    // The save directory as the pass in progress opened it: every map file operation of the pass,
    // its workers' included, goes through it, so a save path pointed elsewhere meanwhile cannot
    // split the pass (or one download) between two directories.
    CDirectory m_saveDirectory;
};

// Reads the configuration again into its argument; false, with the reason printed, when it is not
// valid (the argument is then untouched).
using Reload = std::function<bool(CSettings& settings)>;

// Constructs one downloader and drives it. Run-once (frequency 0 or runOnce): one pass then "\n",
// and 0 when the pass was complete, 3 otherwise. Dry run: one pass that writes nothing, then
// "\n"; 4 when it would fetch a map, 3 when the feed failed or a map would be refused, else 0.
// Periodic: a pass check every second until a stop request, then 0. A stop request ends with 0.
// Periodic, a pass at the next tick after SIGUSR1; after SIGHUP, between passes, reload is asked
// for new settings, and when it gives them a new downloader takes them over from the next pass
// on, keeping the schedule (its first pass asks for the whole feed).
int RunMapAutoDownload(const CSettings& settings, const Reload& reload = nullptr);

#endif
