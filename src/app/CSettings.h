#ifndef MAD_APP_CSETTINGS_H
#define MAD_APP_CSETTINGS_H

#include <string>
#include <vector>

#include "http/CProxySelector.h"
#include "http/CRateLimiter.h"

// Everything the downloader is told by its configuration: the configuration reader fills it,
// the run loop and the update pass take it. Plain values; the ignored names are borrowed from the
// process-wide list (only the pointers are copied, the names outlive every copy).
struct CSettings {
    static constexpr unsigned int kDefaultFrequency = 60;
    static constexpr unsigned int kDefaultFullCheckFrequency = 10;
    static constexpr unsigned int kDefaultTimeoutSeconds = 30;
    static constexpr unsigned int kDefaultParallelDownloads = 4;
    static constexpr unsigned int kMaximumParallelDownloads = 32;
    // More redirects than this are never followed, whatever the configuration says.
    static constexpr unsigned int kMaximumRedirects = 20;
    static constexpr unsigned int kDefaultRetries = 2;
    // Ten tries again already wait about 17 minutes in all.
    static constexpr unsigned int kMaximumRetries = 10;
    static constexpr unsigned int kDefaultHookTimeoutSeconds = 60;

    std::string feedUrl;
    // Seconds between passes; 0 runs one pass and exits.
    unsigned int frequency = kDefaultFrequency;
    // One pass and exit whatever the frequency (the command line's --once).
    bool runOnce = false;
    // One pass that prints what it would do and writes nothing (the command line's --dry-run);
    // implies runOnce.
    bool dryRun = false;
    std::string savePath;
    // Every this-many passes the whole feed is asked for.
    unsigned int fullCheckFrequency = kDefaultFullCheckFrequency;
    std::vector<char*> ignoredMaps;
    // Most maps downloaded in one pass; 0 means no limit.
    int downloadsPerUpdateMax = 0;
    // Read and handed on; has no effect.
    int maxMapCount = 0;
    // Bounds connecting and each wait on the server; 0 waits forever.
    unsigned int timeoutSeconds = kDefaultTimeoutSeconds;
    // Map downloads that run at once, 1 to kMaximumParallelDownloads.
    unsigned int parallelDownloads = kDefaultParallelDownloads;
    // A PEM file of certificate authorities trusted beside the system's; empty for none.
    std::string caFile;
    // Redirects followed per download, 0 (none) to kMaximumRedirects.
    unsigned int maxRedirects = 0;
    // Largest map body taken, in bytes; 0 for no limit.
    unsigned long long maxMapSize = 0;
    // How many more tries a download that failed for a transient cause gets in the same pass,
    // at most kMaximumRetries.
    unsigned int retries = kDefaultRetries;
    // Most seconds a periodic pass starts after its due time, drawn afresh for each pass; 0 for none.
    unsigned int splay = 0;
    // Where the metrics are written at start and after each pass; empty for nowhere.
    std::string metricsFile;
    // Shell command lines run after a pass that replaced a map, and after one that did not bring
    // every map up to date; empty for none.
    std::string onUpdate;
    std::string onFailure;
    // Longest wait for a hook; 0 waits without limit.
    unsigned int hookTimeoutSeconds = kDefaultHookTimeoutSeconds;
    // The HTTP proxies requests go through, and the hosts that go direct; none by default.
    CProxySelector proxies;
    // The bandwidth cap as written in the file (empty when none is set) and as read: the most
    // bytes per second all downloads together receive, by local time of day.
    std::string maxRate;
    CRateLimiter::Schedule maxRateSchedule;
};

#endif
