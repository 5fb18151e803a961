// The benchmarks: generates its data in a temporary directory, serves it with nginx on a
// loopback port and prints one table. Every figure is set against a reference measured in the
// same run, as a ratio. Usage: mad_bench [download] [feed] [maps] [million] [bigmap] [sync]
// [synctls] [idle] [https] [memory] (default: all).

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include <xercesc/util/PlatformUtils.hpp>

#include "BenchData.h"
#include "DomReference.h"
#include "LatencyProxy.h"
#include "Measure.h"
#include "app/CMapAutoDownload.h"
#include "app/CMapVersionCache.h"
#include "http/CHTTPClient.h"
#include "support/NginxServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "tcp/CTCPImpl.h"
#include "xml/CMapVersionRecord.h"

namespace {

constexpr int kRounds = 5;
constexpr long long kDownloadBytes = 256ll * 1024 * 1024;
constexpr int kFeedSizes[] = {1000, 10000, 100000};
constexpr int kSmallMapBytes = 200;
constexpr int kLargeMapCount = 10000;
constexpr int kLargeMapBytes = 100 * 1024;
constexpr int kMillion = 1000000;
constexpr int kBigMapBytes = 64 * 1024 * 1024;
const char kUpToDate[] = "Checking RSS feed... All maps up to date!\n";
constexpr int kSyncMapCount = 1000;
constexpr int kSyncMapBytes = 12 * 1024;
constexpr int kProxyDelayMs = 10;
constexpr int kProxyTimeLimitSeconds = 1200;
constexpr int kSyncRounds = 3;
constexpr int kIdleRounds = 15;
constexpr long long kShapeSizes[] = {64ll << 20, 256ll << 20};
// What one download may add to the program's memory, beyond the base of a pass.
constexpr long kDownloadMemoryKb = 32 * 1024;

struct Row {
    std::string name;
    std::string ours;
    std::string reference;
    std::string ratio;
    std::string rss;
    std::string target;   // the bound the row is held to, or "report"
    std::string verdict;  // "met" or "missed" for a bound; empty for a report
    std::string bench;    // the case of bench/run.sh that measured it
};

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f s", seconds);
    return text;
}

std::string Ratio(double ratio) {
    char text[32];
    std::snprintf(text, sizeof text, ratio < 0.1 ? "%.4f" : "%.2f", ratio);
    return text;
}

std::string Mebibytes(long kilobytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", kilobytes / 1024.0);
    return text;
}

// Progress goes to standard error so the table on standard output stays clean.
void Progress(const std::string& text) { std::fprintf(stderr, "[bench] %s\n", text.c_str()); }

std::string Verdict(bool met) { return met ? "met" : "missed"; }

long long FileSize(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

bool SameContent(const std::string& a, const std::string& b) {
    std::ifstream first(a, std::ios::binary);
    std::ifstream second(b, std::ios::binary);
    std::vector<char> x(1 << 20), y(1 << 20);
    while (first && second) {
        first.read(x.data(), static_cast<std::streamsize>(x.size()));
        second.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (first.gcount() != second.gcount() ||
            std::memcmp(x.data(), y.data(), static_cast<size_t>(first.gcount())) != 0)
            return false;
    }
    return !first && !second;
}

std::string ExecutableDirectory() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    path[length] = '\0';
    std::string text = path;
    return text.substr(0, text.rfind('/'));
}

// Standard output of the passes goes to a file, so each pass's output can be checked after it
// is timed. The file is emptied before each pass.
class PassOutput {
public:
    explicit PassOutput(std::string path) : m_path(std::move(path)) {}
    bool Redirect() {
        std::fflush(stdout);
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        const bool ok = ::dup2(fd, 1) == 1;
        ::close(fd);
        return ok;
    }
    void Clear() {
        std::fflush(stdout);
        if (::ftruncate(1, 0) != 0 || ::lseek(1, 0, SEEK_SET) != 0) std::perror("ftruncate");
    }
    std::string Text() {
        std::fflush(stdout);
        std::ifstream in(m_path);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::string m_path;
};

// Times one DoPulse and checks that it found every map up to date.
// One pass and no limits, as a run-once configuration with only url and savepath would give.
CSettings RunOnceSettings(const std::string& feedUrl, const std::string& savePath) {
    CSettings settings;
    settings.frequency = 0;
    settings.feedUrl = feedUrl;
    settings.savePath = savePath;
    return settings;
}

bool TimedPass(CMapAutoDownload& downloader, PassOutput& output, double& seconds, std::string& error) {
    output.Clear();
    const double start = Now();
    downloader.DoPulse();
    seconds = Now() - start;
    const std::string text = output.Text();
    if (text != kUpToDate) {
        error = "unexpected pass output: " + text.substr(0, 200);
        return false;
    }
    return true;
}

// The reference of the warm pass: list the directory and stat every file in it.
bool ListAndStat(const std::string& directory, int expected, double& seconds) {
    const double start = Now();
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return false;
    int files = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        struct stat info;
        if (::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISREG(info.st_mode)) ++files;
    }
    ::closedir(dir);
    seconds = Now() - start;
    return files == expected;
}

bool EnterWorkDirectory(const std::string& directory, PassOutput& output, std::string& error) {
    if (::mkdir(directory.c_str(), 0755) != 0 || ::chdir(directory.c_str()) != 0 || !output.Redirect()) {
        error = "cannot prepare " + directory;
        return false;
    }
    xercesc::XMLPlatformUtils::Initialize();
    return true;
}

// The reference pass: the feed fetched as the pass fetches it, then read the old way.
bool TimedDomPass(const std::string& url, const std::string& savePath, CMapVersionCache* cache, double& seconds,
                  std::string& error) {
    CTCPImpl tcp;
    CHTTPClient http(&tcp);
    const double start = Now();
    ::remove("autoupdate.xml");
    if (!http.Get((url + "&time=00-00-00%2000:00:00").c_str(), "autoupdate.xml")) {
        error = std::string("reference download: ") + http.GetLastError();
        return false;
    }
    const bool passed = dom_reference::Pass("autoupdate.xml", savePath, cache, error);
    seconds = Now() - start;
    return passed;
}

class Bench {
public:
    Bench(const std::string& root, NginxServer& nginx) : m_root(root), m_nginx(nginx) {}

    void Download();
    void DownloadOverTLS();
    void FeedScaling();
    void MapCache();
    void ParallelSync();
    void SyncOverTLS();
    void IdleSettings();
    void MillionItems();
    void BigMap();
    void Memory();
    void Print() const;
    bool Failed() const { return m_failed; }
    void Begin(const std::string& bench) { m_case = bench; }
    // Rows measured elsewhere (the fleet script), one a line: case, measure, ours, reference,
    // ratio, peak RSS, target and verdict, separated by tabs.
    void AddRowsFrom(const std::string& path);

private:
    void TimeDownloads(const std::string& name, const std::string& url, const std::vector<std::string>& getterExtra,
                       const std::vector<std::string>& curlExtra, bool reportCat);
    bool SmallMaps();
    // The 1,000 maps of 12 KB of the fresh syncs, written once.
    bool SyncMaps();

    // The cases stamp their rows with the name of the case that runs.
    void Add(std::string name, std::string ours, std::string reference, std::string ratio, std::string rss,
             std::string target, std::string verdict = "") {
        m_rows.push_back({std::move(name), std::move(ours), std::move(reference), std::move(ratio), std::move(rss),
                          std::move(target), std::move(verdict), m_case});
    }
    void Fail(const std::string& name, const std::string& why) {
        Add(name, "FAILED", "", "", "", why, Verdict(false));
        m_failed = true;
    }

    std::string m_root;
    NginxServer& m_nginx;
    std::vector<Row> m_rows;
    std::vector<std::string> m_notes;
    std::string m_case;
    bool m_failed = false;
    bool m_bSmallMaps = false;
    bool m_bSyncMaps = false;
};

bool Bench::SyncMaps() {
    if (m_bSyncMaps) return true;
    const std::string maps = m_root + "/sync";
    m_bSyncMaps = ::mkdir(maps.c_str(), 0755) == 0 && bench_data::WriteMaps(maps, "p", kSyncMapCount, kSyncMapBytes);
    return m_bSyncMaps;
}

bool Bench::SmallMaps() {
    if (m_bSmallMaps) return true;
    const std::string maps = m_root + "/small";
    m_bSmallMaps = ::mkdir(maps.c_str(), 0755) == 0 && bench_data::WriteMaps(maps, "s", kFeedSizes[2], kSmallMapBytes);
    return m_bSmallMaps;
}

void Bench::Download() {
    const std::string name = "download 256 MiB: Get vs curl -s -o";
    const std::string source = m_root + "/big.bin";
    Progress("download: writing 256 MiB, then 5 rounds of Get / curl / cat");
    if (!bench_data::WriteRandomFile(source, kDownloadBytes)) return Fail(name, "cannot write " + source);
    TimeDownloads(name, m_nginx.Url("/big.bin"), {}, {}, true);
}

void Bench::DownloadOverTLS() {
    const std::string name = "download 256 MiB over https: Get vs curl -s -o";
    const std::string source = m_root + "/big.bin";
    if (::access(source.c_str(), R_OK) != 0) {
        Progress("https: writing 256 MiB");
        if (!bench_data::WriteRandomFile(source, kDownloadBytes)) return Fail(name, "cannot write " + source);
    }
    TestCertificates certificates;
    if (!certificates.Generate()) return Fail(name, "openssl: " + certificates.Error());
    NginxServer tls(m_root);
    tls.UseTLS(certificates.Certificate("good"), certificates.Key("good"));
    if (!tls.Start()) return Fail(name, "nginx with TLS: " + tls.Error());
    Progress("https: 5 rounds of Get / curl / cat");
    TimeDownloads(name, tls.Url("/big.bin"), {certificates.Authority()}, {"--cacert", certificates.Authority()}, false);
}

// Times the project's Get (mad_bench_get URL FILE [CAFILE]) against curl and cat of the source in
// interleaved rounds; getterExtra and curlExtra are appended to their command lines.
void Bench::TimeDownloads(const std::string& name, const std::string& url, const std::vector<std::string>& getterExtra,
                          const std::vector<std::string>& curlExtra, bool reportCat) {
    const std::string source = m_root + "/big.bin";
    const std::string ours = m_root + "/out-ours.bin";
    const std::string curl = m_root + "/out-curl.bin";
    const std::string copy = m_root + "/out-cat.bin";
    std::vector<std::string> getterArgs = {ExecutableDirectory() + "/mad_bench_get", url, ours};
    getterArgs.insert(getterArgs.end(), getterExtra.begin(), getterExtra.end());
    std::vector<std::string> curlArgs = {"/usr/bin/curl", "-s", "-o", curl};
    curlArgs.insert(curlArgs.end(), curlExtra.begin(), curlExtra.end());
    curlArgs.push_back(url);

    using Runner = std::function<CommandRun()>;
    const Runner runners[] = {
        [&] { return RunCommand(getterArgs); },
        [&] { return RunCommand(curlArgs); },
        [&] {
            return RunCommand({"/bin/cat", source}, copy);
        },
    };
    const std::string outputs[] = {ours, curl, copy};
    std::vector<double> times[3];
    std::vector<double> versusCurl, versusCat;
    long oursRss = 0, curlRss = 0;
    for (int round = 0; round < kRounds; ++round) {
        double seconds[3] = {};
        // Rotate the order so no tool always runs first on a warm or a cold machine.
        for (int k = 0; k < 3; ++k) {
            const int tool = (round + k) % 3;
            ::unlink(outputs[tool].c_str());
            const CommandRun run = runners[tool]();
            if (!run.succeeded || FileSize(outputs[tool]) != kDownloadBytes)
                return Fail(name, "run failed: " + outputs[tool]);
            if (round == 0 && !SameContent(source, outputs[tool]))
                return Fail(name, "content differs: " + outputs[tool]);
            ::unlink(outputs[tool].c_str());
            seconds[tool] = run.seconds;
            times[tool].push_back(run.seconds);
            if (tool == 0) oursRss = std::max(oursRss, run.maxRssKb);
            if (tool == 1) curlRss = std::max(curlRss, run.maxRssKb);
        }
        versusCurl.push_back(seconds[0] / seconds[1]);
        versusCat.push_back(seconds[0] / seconds[2]);
    }
    const double ratio = Median(versusCurl);
    Add(name + " (median of 5)", Seconds(Median(times[0])), Seconds(Median(times[1])), Ratio(ratio), Mebibytes(oursRss),
        "<= 1.0, RSS <= 16 MiB", Verdict(ratio <= 1.0 && oursRss <= 16 * 1024));
    if (reportCat)
        Add("   same download vs cat of the file (local limit)", Seconds(Median(times[0])), Seconds(Median(times[2])),
            Ratio(Median(versusCat)), "", "report");
    m_notes.push_back(m_case + ": curl's own peak RSS: " + Mebibytes(curlRss));
}

void Bench::FeedScaling() {
    const std::string name = "up-to-date pass";
    const int largest = kFeedSizes[2];
    const std::string maps = m_root + "/small";
    Progress("feed: writing 100,000 small maps and three feeds, then a first pass and 5 rounds");
    if (!SmallMaps()) return Fail(name, "cannot write the small maps");
    for (int size : kFeedSizes) {
        if (!bench_data::WriteFeed(m_root + "/feed" + std::to_string(size) + ".xml", "s", size, m_nginx.Url("/small")))
            return Fail(name, "cannot write a feed");
    }
    const ForkedRun run = RunForked([&](std::vector<double>& values, std::string& error) {
        PassOutput output(m_root + "/work-feed/out.txt");
        if (!EnterWorkDirectory(m_root + "/work-feed", output, error)) return false;
        std::vector<std::unique_ptr<CMapVersionCache>> caches;
        std::vector<std::unique_ptr<CMapAutoDownload>> downloaders;
        for (int size : kFeedSizes) {
            const std::string url = m_nginx.Url("/feed" + std::to_string(size) + ".xml?bench=1");
            caches.push_back(std::make_unique<CMapVersionCache>());
            downloaders.push_back(std::make_unique<CMapAutoDownload>(RunOnceSettings(url, maps)));
            downloaders.back()->SetVersionCache(caches.back().get());
            double seconds = 0;
            // The first pass reads every map and fills the cache.
            if (!TimedPass(*downloaders.back(), output, seconds, error)) return false;
        }
        // The old pass over the largest feed, with its own version memory filled the same way.
        const std::string largestUrl = m_nginx.Url("/feed" + std::to_string(largest) + ".xml?bench=1");
        CMapVersionCache referenceCache;
        double seconds = 0;
        if (!TimedDomPass(largestUrl, maps, &referenceCache, seconds, error)) return false;
        // What an operator would run to look at the same things by hand: the feed read as a
        // stream and a long listing of the maps.
        const std::vector<std::string> xmllint = {"/usr/bin/xmllint", "--stream", "--noout",
                                                  m_root + "/feed" + std::to_string(largest) + ".xml"};
        const std::vector<std::string> listing = {"/bin/ls", "-lR", maps};
        for (int round = 0; round < kRounds; ++round) {
            for (int k = 0; k < 5; ++k) {
                const int index = (round + k) % 5;
                double seconds = 0;
                if (index == 4) {
                    const CommandRun read = RunCommand(xmllint);
                    const CommandRun list = RunCommand(listing);
                    if (!read.succeeded || !list.succeeded) {
                        error = "xmllint --stream or ls -lR failed";
                        return false;
                    }
                    seconds = read.seconds + list.seconds;
                } else if (index == 3) {
                    if (!TimedDomPass(largestUrl, maps, &referenceCache, seconds, error)) return false;
                } else if (!TimedPass(*downloaders[index], output, seconds, error)) {
                    return false;
                }
                values.push_back(index);
                values.push_back(seconds);
            }
        }
        return true;
    });
    if (!run.succeeded) return Fail(name, run.error);
    std::vector<double> times[5];
    for (std::size_t i = 0; i + 1 < run.values.size(); i += 2)
        times[static_cast<int>(run.values[i])].push_back(run.values[i + 1]);
    // Passes of one round ran side by side; their ratios are taken round by round.
    std::vector<double> tenfold, hundredfold, versusDom, versusTools;
    for (int round = 0; round < kRounds; ++round) {
        tenfold.push_back(times[1][round] / times[0][round]);
        hundredfold.push_back(times[2][round] / times[0][round]);
        versusDom.push_back(times[2][round] / times[3][round]);
        versusTools.push_back(times[2][round] / times[4][round]);
    }
    const double toolsRatio = Median(versusTools);
    Add(name + ", 100,000 maps vs xmllint --stream of the feed + ls -lR of the maps", Seconds(Median(times[2])),
        Seconds(Median(times[4])), Ratio(toolsRatio), "", "<= 1.5", Verdict(toolsRatio <= 1.5));
    const double ratio = Median(tenfold);
    Add(name + ", 10,000 vs 1,000 items", Seconds(Median(times[1])), Seconds(Median(times[0])), Ratio(ratio), "",
        "<= 12", Verdict(ratio <= 12));
    Add(name + ", 100,000 vs 1,000 items", Seconds(Median(times[2])), Seconds(Median(times[0])),
        Ratio(Median(hundredfold)), "", "report (linear: 100)");
    // The DOM reference ran in the same process, so this peak is mostly its own.
    m_notes.push_back("up-to-date passes with the DOM reference, peak RSS: " + Mebibytes(run.maxRssKb) +
                      " (the million case gives the streaming pass's own)");
    const double domRatio = Median(versusDom);
    Add(name + ", 100,000 items vs the DOM pass", Seconds(Median(times[2])), Seconds(Median(times[3])), Ratio(domRatio),
        "", "<= 0.5", Verdict(domRatio <= 0.5));
}

void Bench::MapCache() {
    const std::string name = "10,000 maps of 100 KB";
    const std::string maps = m_root + "/large";
    Progress("maps: writing 10,000 maps of 100 KB; a first pass, 5 rounds, one forced re-parse (minutes)");
    if (::mkdir(maps.c_str(), 0755) != 0 || !bench_data::WriteMaps(maps, "m", kLargeMapCount, kLargeMapBytes) ||
        !bench_data::WriteFeed(m_root + "/feedlarge.xml", "m", kLargeMapCount, m_nginx.Url("/large")))
        return Fail(name, "cannot write the large maps");
    const ForkedRun run = RunForked([&](std::vector<double>& values, std::string& error) {
        PassOutput output(m_root + "/work-maps/out.txt");
        if (!EnterWorkDirectory(m_root + "/work-maps", output, error)) return false;
        const std::string url = m_nginx.Url("/feedlarge.xml?bench=1");
        CMapAutoDownload downloader(RunOnceSettings(url, maps));
        CMapVersionCache cache;
        downloader.SetVersionCache(&cache);
        double cold = 0;
        if (!TimedPass(downloader, output, cold, error)) return false;
        values.push_back(cold);
        for (int round = 0; round < kRounds; ++round) {
            double warm = 0, listing = 0;
            for (int k = 0; k < 2; ++k) {
                if ((round + k) % 2 == 0) {
                    if (!TimedPass(downloader, output, warm, error)) return false;
                } else if (!ListAndStat(maps, kLargeMapCount, listing)) {
                    error = "listing " + maps + " failed";
                    return false;
                }
            }
            values.push_back(warm);
            values.push_back(listing);
        }
        // No cache: every map is parsed in full, as without the version memory.
        downloader.SetVersionCache(nullptr);
        double reparse = 0;
        if (!TimedPass(downloader, output, reparse, error)) return false;
        values.push_back(reparse);
        // The old way: every map read into a DOM.
        double dom = 0;
        if (!TimedDomPass(url, maps, nullptr, dom, error)) return false;
        values.push_back(dom);
        return true;
    });
    if (!run.succeeded) return Fail(name, run.error);
    std::vector<double> warm, listing, versusListing;
    for (int round = 0; round < kRounds; ++round) {
        warm.push_back(run.values[1 + 2 * round]);
        listing.push_back(run.values[2 + 2 * round]);
        versusListing.push_back(warm.back() / listing.back());
    }
    const double dom = run.values.back();
    const double reparse = run.values[run.values.size() - 2];
    const double listingRatio = Median(versusListing);
    const double reparseRatio = Median(warm) / reparse;
    Add(name + ": warm pass vs readdir + stat of each", Seconds(Median(warm)), Seconds(Median(listing)),
        Ratio(listingRatio), Mebibytes(run.maxRssKb), "<= 10", Verdict(listingRatio <= 10));
    Add(name + ": warm pass vs forced re-parse (1 run)", Seconds(Median(warm)), Seconds(reparse), Ratio(reparseRatio),
        Mebibytes(run.maxRssKb), "<= 0.01", Verdict(reparseRatio <= 0.01));
    Add(name + ": first pass (cold) vs forced re-parse", Seconds(run.values[0]), Seconds(reparse),
        Ratio(run.values[0] / reparse), Mebibytes(run.maxRssKb), "report");
    const double coldRatio = run.values[0] / dom;
    Add(name + ": first pass (cold) vs the DOM re-parse", Seconds(run.values[0]), Seconds(dom), Ratio(coldRatio), "",
        "<= 0.4", Verdict(coldRatio <= 0.4));
}

void Bench::MillionItems() {
    const std::string name = "up-to-date pass, 1,000,000 items";
    const std::string maps = m_root + "/small";
    Progress("million: a feed of 1,000,000 items over the 100,000 small maps, a first pass and 5 rounds");
    // Each map is listed ten times: the feed is what grows here, not the directory.
    if (!SmallMaps() || !bench_data::WriteFeed(m_root + "/feedmillion.xml", "s", kMillion, m_nginx.Url("/small"),
                                               bench_data::kMapVersion, kFeedSizes[2]))
        return Fail(name, "cannot write the million-item feed");
    const ForkedRun run = RunForked([&](std::vector<double>& values, std::string& error) {
        PassOutput output(m_root + "/work-million/out.txt");
        if (!EnterWorkDirectory(m_root + "/work-million", output, error)) return false;
        CMapAutoDownload downloader(RunOnceSettings(m_nginx.Url("/feedmillion.xml?bench=1"), maps));
        CMapVersionCache cache;
        downloader.SetVersionCache(&cache);
        double seconds = 0;
        if (!TimedPass(downloader, output, seconds, error)) return false;
        for (int round = 0; round < kRounds; ++round) {
            if (!TimedPass(downloader, output, seconds, error)) return false;
            values.push_back(seconds);
        }
        return true;
    });
    if (!run.succeeded) return Fail(name, run.error);
    Add(name + " (median of 5)", Seconds(Median(run.values)), "", "", Mebibytes(run.maxRssKb), "RSS <= 64 MiB",
        Verdict(run.maxRssKb <= 64 * 1024));
}

void Bench::BigMap() {
    const std::string name = "64 MiB map: the program's download + stamp vs curl -s -o + xmllint --stream";
    Progress("bigmap: writing a 64 MiB map, then 5 rounds of the program / curl + xmllint");
    const std::string served = m_root + "/bigmaps";
    const std::string work = m_root + "/work-bigmap";
    const std::string saved = work + "/maps";
    if (::mkdir(served.c_str(), 0755) != 0 || !bench_data::WriteMaps(served, "big", 1, kBigMapBytes) ||
        ::mkdir(work.c_str(), 0755) != 0 || ::mkdir(saved.c_str(), 0755) != 0 ||
        !bench_data::WriteFeed(m_root + "/feedbig.xml", "big", 1, m_nginx.Url("/bigmaps"), bench_data::kMapVersion + 1))
        return Fail(name, "cannot write the big map");
    {
        std::ofstream config(work + "/config.xml");
        config << "<config><url>" << m_nginx.Url("/feedbig.xml?bench=1") << "</url><frequency>0</frequency><savepath>"
               << saved << "</savepath></config>\n";
        if (!config) return Fail(name, "cannot write config.xml");
    }
    const std::string source = served + "/" + bench_data::Title("big", 0);
    const std::string map = saved + "/" + bench_data::Title("big", 0);
    const std::string curled = m_root + "/out-curl.map";
    const std::string program = ExecutableDirectory() + "/../mapautodownloader";
    const std::string url = m_nginx.Url("/bigmaps/" + bench_data::Title("big", 0));

    std::vector<double> ours, reference, ratios;
    long oursRss = 0, referenceRss = 0;
    for (int round = 0; round < kRounds; ++round) {
        double seconds[2] = {};
        for (int k = 0; k < 2; ++k) {
            if ((round + k) % 2 == 0) {
                ::unlink(map.c_str());
                ::unlink((work + "/mapversions.dat").c_str());
                const CommandRun run = RunCommand({"/bin/sh", "-c", "cd '" + work + "' && exec '" + program + "'"});
                CMapVersionRecord record;
                if (!run.succeeded || FileSize(map) != FileSize(source) || !record.Read(map.c_str()) ||
                    record.Version() != static_cast<int>(bench_data::kMapVersion + 1))
                    return Fail(name, "the program did not download and stamp " + map);
                seconds[0] = run.seconds;
                oursRss = std::max(oursRss, run.maxRssKb);
            } else {
                ::unlink(curled.c_str());
                const CommandRun get = RunCommand({"/usr/bin/curl", "-s", "-o", curled, url});
                const CommandRun check = RunCommand({"/usr/bin/xmllint", "--stream", "--noout", curled});
                if (!get.succeeded || !check.succeeded) return Fail(name, "curl or xmllint failed");
                seconds[1] = get.seconds + check.seconds;
                referenceRss = std::max({referenceRss, get.maxRssKb, check.maxRssKb});
            }
        }
        ours.push_back(seconds[0]);
        reference.push_back(seconds[1]);
        ratios.push_back(seconds[0] / seconds[1]);
    }
    const double ratio = Median(ratios);
    Add(name + " (median of 5)", Seconds(Median(ours)), Seconds(Median(reference)), Ratio(ratio), Mebibytes(oursRss),
        "<= 0.8, RSS <= 32 MiB", Verdict(ratio <= 0.8 && oursRss <= 32 * 1024));
    m_notes.push_back("curl's and xmllint's largest peak RSS: " + Mebibytes(referenceRss));
}

// Peak resident size of the real program, one run-once pass each, over maps and feeds of every
// shape at 64 and 256 MiB: what the parser holds must not grow with the number of elements,
// their depth or the length of a text. The base is a pass over one small map.
void Bench::Memory() {
    const std::string name = "peak RSS of a pass";
    const std::string served = m_root + "/shapes";
    const std::string program = ExecutableDirectory() + "/../mapautodownloader";
    Progress(
        "memory: maps and feeds of three shapes at 64 and 256 MiB and of four more at 64 MiB, one pass each "
        "(2.4 GB written)");
    if (::mkdir(served.c_str(), 0755) != 0) return Fail(name, "cannot create " + served);
    int runs = 0;
    // One pass of the program over feed (a file under served) with parallel downloads at once;
    // every map of the feed must arrive whole, as large as its source. Its files go afterwards.
    auto pass = [&](const std::string& feed, unsigned int parallel, const std::vector<std::string>& maps,
                    CommandRun& run) {
        const std::string work = m_root + "/work-memory" + std::to_string(++runs);
        const std::string saved = work + "/maps";
        if (::mkdir(work.c_str(), 0755) != 0 || ::mkdir(saved.c_str(), 0755) != 0) return false;
        {
            std::ofstream config(work + "/config.xml");
            config << "<config><url>" << m_nginx.Url("/shapes/" + feed + "?bench=1")
                   << "</url><frequency>0</frequency><paralleldownloads>" << parallel
                   << "</paralleldownloads><savepath>" << saved << "</savepath></config>\n";
            if (!config) return false;
        }
        run = RunCommand({"/bin/sh", "-c", "cd '" + work + "' && exec '" + program + "'"});
        bool whole = run.succeeded;
        for (const std::string& map : maps) {
            whole = whole && FileSize(saved + "/" + map) == FileSize(served + "/" + map);
            ::unlink((saved + "/" + map).c_str());
        }
        ::unlink((work + "/autoupdate.xml").c_str());
        return whole;
    };
    const std::string small = bench_data::Title("small", 0);
    CommandRun base;
    if (!bench_data::WriteMaps(served, "small", 1, kSmallMapBytes) ||
        !bench_data::WriteFeed(served + "/small.xml", "small", 1, m_nginx.Url("/shapes"),
                               bench_data::kMapVersion + 1) ||
        !pass("small.xml", 1, {small}, base))
        return Fail(name, "the pass over one small map failed");
    Add(name + ", base: one small map", Seconds(base.seconds), "", "", Mebibytes(base.maxRssKb), "report");
    auto row = [&](const std::string& what, const CommandRun& run, int downloads) {
        const long bound = base.maxRssKb + downloads * kDownloadMemoryKb;
        Add(name + ", " + what, Seconds(run.seconds), "", "", Mebibytes(run.maxRssKb),
            "<= base + " + std::to_string(downloads * kDownloadMemoryKb / 1024) + " MiB",
            Verdict(run.maxRssKb <= bound));
    };
    using bench_data::Shape;
    // Long tokens and many names at the smaller size only: none of them holds more per byte.
    const std::vector<Shape> shapes = {Shape::Siblings, Shape::Nesting, Shape::Text};
    const std::vector<Shape> tokenShapes = {Shape::Comment, Shape::CData, Shape::AttributeValue, Shape::ManyNames,
                                            Shape::Latin1Comment};
    for (long long bytes : kShapeSizes) {
        const std::string size = std::to_string(bytes >> 20) + " MiB";
        std::vector<Shape> sized = shapes;
        if (bytes == kShapeSizes[0]) sized.insert(sized.end(), tokenShapes.begin(), tokenShapes.end());
        for (Shape shape : sized) {
            const std::string prefix =
                "shape" + std::to_string(static_cast<int>(shape)) + "-" + std::to_string(bytes >> 20) + "-";
            const std::string map = bench_data::Title(prefix, 0);
            const std::string what = std::string(bench_data::ShapeName(shape)) + ", " + size;
            Progress("memory: " + what);
            CommandRun run;
            if (!bench_data::WriteShapedMap(served + "/" + map, shape, bytes, bench_data::kMapVersion) ||
                !bench_data::WriteFeed(served + "/" + prefix + "feed.xml", prefix, 1, m_nginx.Url("/shapes"),
                                       bench_data::kMapVersion + 1) ||
                !pass(prefix + "feed.xml", 1, {map}, run))
                return Fail(name + ", map of " + what, "the program did not download " + map);
            row("map of " + what, run, 1);
            ::unlink((served + "/" + map).c_str());
            if (!bench_data::WriteShapedFeed(served + "/" + prefix + "shaped.xml", shape, bytes) ||
                !pass(prefix + "shaped.xml", 1, {}, run))
                return Fail(name + ", feed of " + what, "the pass over the feed failed");
            row("feed of " + what, run, 1);
            ::unlink((served + "/" + prefix + "shaped.xml").c_str());
        }
    }
    // Four downloads at once, each of a 64 MiB map of siblings (one file under four names).
    const std::string source = served + "/" + bench_data::Title("four", 0);
    std::vector<std::string> four;
    bool linked =
        bench_data::WriteShapedMap(source, bench_data::Shape::Siblings, kShapeSizes[0], bench_data::kMapVersion);
    for (int i = 0; i < 4; ++i) {
        four.push_back(bench_data::Title("four", i));
        if (i > 0) linked = linked && ::link(source.c_str(), (served + "/" + four.back()).c_str()) == 0;
    }
    Progress("memory: four maps of siblings, 64 MiB each, at paralleldownloads 4");
    CommandRun run;
    if (!linked ||
        !bench_data::WriteFeed(served + "/four.xml", "four", 4, m_nginx.Url("/shapes"), bench_data::kMapVersion + 1) ||
        !pass("four.xml", 4, four, run))
        return Fail(name + ", four maps at once", "the program did not download the four maps");
    row("4 maps of siblings, 64 MiB, 4 at once", run, 4);
    for (const std::string& map : four) ::unlink((served + "/" + map).c_str());
}

// Regular files in directory (names starting with '.' excluded).
int CountFiles(const std::string& directory) {
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return -1;
    int files = 0;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat info;
        if (entry->d_name[0] != '.' && ::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISREG(info.st_mode))
            ++files;
    }
    ::closedir(dir);
    return files;
}

int CountOccurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// The same fresh sync over https: nginx with the test authority's certificate behind the same
// proxy, the program trusting that authority as wget2 does.
void Bench::SyncOverTLS() {
    const std::string name = "fresh sync over https, 1,000 maps of 12 KB via 10 ms proxy";
    const std::string maps = m_root + "/synctls";
    Progress("synctls: 1,000 maps over https through a 10 ms proxy");
    if (::mkdir(maps.c_str(), 0755) != 0 || !bench_data::WriteMaps(maps, "p", kSyncMapCount, kSyncMapBytes))
        return Fail(name, "cannot write the maps");
    TestCertificates certificates;
    if (!certificates.Generate()) return Fail(name, "openssl: " + certificates.Error());
    NginxServer tls(m_root);
    tls.UseTLS(certificates.Certificate("good"), certificates.Key("good"));
    if (!tls.Start()) return Fail(name, "nginx with TLS: " + tls.Error());
    const std::string tools = ExecutableDirectory();
    LatencyProxy proxy(tools + "/mad_bench_proxy", tls.Port(), kProxyDelayMs, kProxyTimeLimitSeconds);
    if (!proxy.Running()) return Fail(name, proxy.Error());
    std::string base = proxy.Url("");
    base.replace(0, 4, "https");  // the proxy only relays bytes: TLS passes through it
    const std::string feedUrl = base + "/syncfeed-tls.xml?bench=1";
    const std::string urlList = m_root + "/urls-tls.txt";
    if (!bench_data::WriteFeed(m_root + "/syncfeed-tls.xml", "p", kSyncMapCount, base + "/synctls"))
        return Fail(name, "cannot write the feed");
    {
        std::ofstream list(urlList);
        for (int i = 0; i < kSyncMapCount; ++i) list << base << "/synctls/" << bench_data::Title("p", i) << "\n";
        if (!list) return Fail(name, "cannot write the URL list");
    }
    int runNumber = 0;
    long handshakes = 0, resumed = 0;  // the program's map requests, and those on resumed sessions
    // Where each run's lines begin in nginx's log, and whether the run was the program's.
    std::vector<std::pair<std::size_t, bool>> runsLogged;
    auto ours = [&](double& seconds) {
        const std::string work = m_root + "/synctlswork" + std::to_string(++runNumber);
        const std::string save = work + "/maps";
        if (::mkdir(work.c_str(), 0755) != 0 || ::mkdir(save.c_str(), 0755) != 0) return false;
        std::ofstream(work + "/config.xml") << "<config><url>" << feedUrl << "</url><frequency>0</frequency><savepath>"
                                            << save << "</savepath><paralleldownloads>16</paralleldownloads><cafile>"
                                            << certificates.Authority() << "</cafile></config>\n";
        const std::size_t logged = tls.AccessLog().size();
        runsLogged.emplace_back(logged, true);
        const CommandRun run = RunCommand({tools + "/../mapautodownloader"}, work + "/out.txt", work);
        seconds = run.seconds;
        std::istringstream lines(tls.AccessLog().substr(logged));
        for (std::string line; std::getline(lines, line);) {
            if (line.find("GET /synctls/") == std::string::npos) continue;
            ++handshakes;
            if (line.size() >= 2 && line.compare(line.size() - 2, 2, " r") == 0) ++resumed;
        }
        return run.succeeded && CountFiles(save) == kSyncMapCount;
    };
    auto wget2 = [&](double& seconds) {
        const std::string out = m_root + "/synctlsout" + std::to_string(++runNumber);
        if (::mkdir(out.c_str(), 0755) != 0) return false;
        runsLogged.emplace_back(tls.AccessLog().size(), false);
        const CommandRun run = RunCommand({"/usr/bin/wget2", "-q", "--no-config", "--no-hsts", "--max-threads=16",
                                           "--ca-certificate=" + certificates.Authority(), "-P", out, "-i", urlList},
                                          "", out);
        seconds = run.seconds;
        return run.succeeded && CountFiles(out) == kSyncMapCount;
    };
    std::vector<double> ratios, oursTimes, wgetTimes;
    for (int round = 0; round < kSyncRounds; ++round) {
        double a = 0, b = 0;
        Progress("synctls: round " + std::to_string(round + 1));
        // Alternate which runs first, so neither always meets the warmer machine.
        const bool oursFirst = round % 2 == 0;
        if (!(oursFirst ? ours(a) && wget2(b) : wget2(b) && ours(a)))
            return Fail(name, "a run did not fetch every map");
        oursTimes.push_back(a);
        wgetTimes.push_back(b);
        ratios.push_back(a / b);
    }
    // The connections nginx accepted during a run of the program, used or not: from the serial
    // number of its first logged connection to that of the next run's first.
    const std::string log = tls.AccessLog();
    const auto firstSerial = [&log](std::size_t from) {
        const std::size_t end = log.find('\n', from);
        const std::size_t mark = log.rfind(" c", end);
        return mark == std::string::npos || mark < from ? -1L : std::strtol(log.c_str() + mark + 2, nullptr, 10);
    };
    long connections = 0, requests = 0;
    for (std::size_t i = 0; i + 1 < runsLogged.size(); ++i) {
        if (!runsLogged[i].second) continue;
        const long first = firstSerial(runsLogged[i].first), next = firstSerial(runsLogged[i + 1].first);
        if (first < 0 || next < 0) continue;
        connections += next - first;
        requests +=
            CountOccurrences(log.substr(runsLogged[i].first, runsLogged[i + 1].first - runsLogged[i].first), "\"GET /");
    }
    const double ratio = Median(ratios);
    Add(name + ": 16 vs wget2 --max-threads=16", Seconds(Median(oursTimes)), Seconds(Median(wgetTimes)), Ratio(ratio),
        "", "<= 1.2", Verdict(ratio <= 1.2));
    m_notes.push_back("synctls: medians of " + std::to_string(kSyncRounds) + " rounds; " +
                      std::to_string(handshakes > 0 ? resumed * 100 / handshakes : 0) +
                      "% of the program's map requests came on resumed TLS sessions; it opened " +
                      std::to_string(connections) + " connections for " + std::to_string(requests) + " requests");
}

// A fresh sync of 1,000 maps by the real program and by other downloaders of many small files,
// through a proxy adding 10 ms each way and straight from nginx.
void Bench::ParallelSync() {
    const std::string name = "fresh sync, 1,000 maps of 12 KB";
    const std::string maps = m_root + "/sync";
    Progress("sync: 1,000 maps through a 10 ms proxy and direct; the slowest runs take about a minute");
    if (!SyncMaps()) return Fail(name, "cannot write the maps");
    const std::string tools = ExecutableDirectory();
    LatencyProxy proxy(tools + "/mad_bench_proxy", m_nginx.Port(), kProxyDelayMs, kProxyTimeLimitSeconds);
    if (!proxy.Running()) return Fail(name, proxy.Error());

    // Per route: the feed, the URL list for the other tools, and curl's config of the same URLs.
    struct Route {
        std::string feedUrl;
        std::string urlList;
        std::string curlConfig;
    };
    auto makeRoute = [&](const std::string& label, const std::string& base, Route& route) {
        const std::string feed = "syncfeed-" + label + ".xml";
        if (!bench_data::WriteFeed(m_root + "/" + feed, "p", kSyncMapCount, base + "/sync")) return false;
        route.feedUrl = base + "/" + feed + "?bench=1";
        route.urlList = m_root + "/urls-" + label + ".txt";
        route.curlConfig = m_root + "/curl-" + label + ".cfg";
        std::ofstream list(route.urlList), config(route.curlConfig);
        for (int i = 0; i < kSyncMapCount; ++i) {
            const std::string url = base + "/sync/" + bench_data::Title("p", i);
            list << url << "\n";
            config << "url = \"" << url << "\"\n";
        }
        return static_cast<bool>(list) && static_cast<bool>(config);
    };
    Route slow, direct;
    if (!makeRoute("proxy", proxy.Url(""), slow) || !makeRoute("direct", m_nginx.Url(""), direct))
        return Fail(name, "cannot write the feeds and URL lists");

    int runNumber = 0;
    std::string failure;
    // One timed run into a fresh directory; false (with failure set) unless every map arrived.
    auto ours = [&](const Route& route, int parallel, double& seconds) {
        const std::string work = m_root + "/syncwork" + std::to_string(++runNumber);
        const std::string save = work + "/maps";
        if (::mkdir(work.c_str(), 0755) != 0 || ::mkdir(save.c_str(), 0755) != 0) return false;
        std::ofstream(work + "/config.xml")
            << "<config><url>" << route.feedUrl << "</url><frequency>0</frequency><savepath>" << save << "</savepath>"
            << (parallel > 0 ? "<paralleldownloads>" + std::to_string(parallel) + "</paralleldownloads>" : "")
            << "</config>\n";
        const CommandRun run = RunCommand({tools + "/../mapautodownloader"}, work + "/out.txt", work);
        std::ifstream in(work + "/out.txt");
        std::ostringstream text;
        text << in.rdbuf();
        seconds = run.seconds;
        if (run.succeeded && CountOccurrences(text.str(), "... Done\n") == kSyncMapCount &&
            CountFiles(save) == kSyncMapCount)
            return true;
        failure =
            "the program at " + std::to_string(parallel) + " did not fetch every map: " + text.str().substr(0, 300);
        return false;
    };
    auto tool = [&](const std::string& label, std::vector<std::string> argv, double& seconds) {
        const std::string out = m_root + "/syncout" + std::to_string(++runNumber);
        if (::mkdir(out.c_str(), 0755) != 0) return false;
        for (std::string& arg : argv) {
            const std::size_t at = arg.find("@OUT@");
            if (at != std::string::npos) arg.replace(at, 5, out);
        }
        const CommandRun run = RunCommand(argv, "", out);
        seconds = run.seconds;
        const std::string first = bench_data::Title("p", 0);
        if (run.succeeded && CountFiles(out) == kSyncMapCount && SameContent(maps + "/" + first, out + "/" + first))
            return true;
        failure = label + " did not fetch every map";
        return false;
    };
    auto wget2 = [&](const Route& route, double& seconds) {
        return tool("wget2",
                    {"/usr/bin/wget2", "-q", "--no-config", "--no-hsts", "--max-threads=16", "-P", "@OUT@", "-i",
                     route.urlList},
                    seconds);
    };
    // wget2 as it would have to run in the program's place: the feed first, then the maps it names.
    auto wget2WithFeed = [&](const Route& route, double& seconds) {
        const std::string feedCopy = m_root + "/syncfeedcopy" + std::to_string(++runNumber) + ".xml";
        const CommandRun feed =
            RunCommand({"/usr/bin/wget2", "-q", "--no-config", "--no-hsts", "-O", feedCopy, route.feedUrl}, "", m_root);
        if (!feed.succeeded || FileSize(feedCopy) <= 0) {
            failure = "wget2 did not fetch the feed";
            return false;
        }
        double maps = 0;
        if (!wget2(route, maps)) return false;
        seconds = feed.seconds + maps;
        return true;
    };
    auto curl = [&](const Route& route, double& seconds) {
        return tool("curl",
                    {"/usr/bin/curl", "-s", "--parallel", "--parallel-max", "16", "--remote-name-all", "--output-dir",
                     "@OUT@", "-K", route.curlConfig},
                    seconds);
    };
    auto aria2 = [&](const Route& route, double& seconds) {
        return tool("aria2c",
                    {"/usr/bin/aria2c", "-q", "-j16", "--allow-overwrite=true", "--auto-file-renaming=false", "-d",
                     "@OUT@", "-i", route.urlList},
                    seconds);
    };
    auto wget = [&](const Route& route, double& seconds) {
        return tool("wget", {"/usr/bin/wget", "-q", "-P", "@OUT@", "-i", route.urlList}, seconds);
    };

    // The fast runs take turns, round after round, in a rotating order; the slow two run once.
    using Runner = std::function<bool(double&)>;
    const std::vector<std::pair<std::string, Runner>> runners = {
        {"ours 4", [&](double& t) { return ours(slow, 0, t); }},
        {"ours 16", [&](double& t) { return ours(slow, 16, t); }},
        {"wget2", [&](double& t) { return wget2(slow, t); }},
        {"curl", [&](double& t) { return curl(slow, t); }},
        {"aria2c", [&](double& t) { return aria2(slow, t); }},
        {"direct ours 16", [&](double& t) { return ours(direct, 16, t); }},
        {"direct wget2", [&](double& t) { return wget2(direct, t); }},
        {"wget2 feed and maps", [&](double& t) { return wget2WithFeed(slow, t); }},
    };
    std::vector<std::vector<double>> times(runners.size());
    for (int round = 0; round < kSyncRounds; ++round) {
        for (std::size_t k = 0; k < runners.size(); ++k) {
            const std::size_t index = (round + k) % runners.size();
            double seconds = 0;
            Progress("sync: round " + std::to_string(round + 1) + ", " + runners[index].first);
            if (!runners[index].second(seconds)) return Fail(name, failure);
            times[index].push_back(seconds);
        }
    }
    double sequential = 0, wgetOnce = 0;
    Progress("sync: paralleldownloads 1");
    if (!ours(slow, 1, sequential)) return Fail(name, failure);
    Progress("sync: wget -i");
    if (!wget(slow, wgetOnce)) return Fail(name, failure);

    auto median = [&](std::size_t index) { return Median(times[index]); };
    // Ratios of runs of the same round, then their median.
    auto ratio = [&](std::size_t a, std::size_t b) {
        std::vector<double> ratios;
        for (int round = 0; round < kSyncRounds; ++round) ratios.push_back(times[a][round] / times[b][round]);
        return Median(ratios);
    };
    const double defaultVsOne = median(0) / sequential;
    const double vsWget2 = ratio(1, 2);
    const double directVsWget2 = ratio(5, 6);
    const std::string proxied = name + " via 10 ms proxy: ";
    Add(proxied + "default (4) vs paralleldownloads 1", Seconds(median(0)), Seconds(sequential), Ratio(defaultVsOne),
        "", "<= 0.286 (3.5x)", Verdict(defaultVsOne <= 1 / 3.5));
    Add(proxied + "16 vs wget2 --max-threads=16", Seconds(median(1)), Seconds(median(2)), Ratio(vsWget2), "", "<= 1.0",
        Verdict(vsWget2 <= 1.0));
    // wget2 reads a list of URLs; the program must first fetch the feed that names them.
    Add(proxied + "16 vs wget2 fetching the feed, then the maps", Seconds(median(1)), Seconds(median(7)),
        Ratio(ratio(1, 7)), "", "report");
    Add(proxied + "16 vs curl --parallel-max 16", Seconds(median(1)), Seconds(median(3)), Ratio(ratio(1, 3)), "",
        "report");
    Add(proxied + "16 vs aria2c -j16", Seconds(median(1)), Seconds(median(4)), Ratio(ratio(1, 4)), "", "report");
    Add(proxied + "1 vs wget -i (one connection)", Seconds(sequential), Seconds(wgetOnce), Ratio(sequential / wgetOnce),
        "", "report");
    Add(name + " from nginx direct: 16 vs wget2 --max-threads=16", Seconds(median(5)), Seconds(median(6)),
        Ratio(directVsWget2), "", "<= 3", Verdict(directVsWget2 <= 3));
    m_notes.push_back("sync: medians of " + std::to_string(kSyncRounds) +
                      " rounds; paralleldownloads 1 and wget -i ran once");
}

// A fresh sync straight from nginx, where no network wait hides the local work, run with the
// settings of the bandwidth cap, proxies, retries, hooks and metrics at their defaults and with
// all of them set but given nothing to do: a cap far above what the pass receives, a proxy the
// feed's host is exempt from, retries never needed, hooks that do nothing, a metrics file.
void Bench::IdleSettings() {
    const std::string name = "fresh sync, 1,000 maps of 12 KB from nginx direct, 16: settings set but idle vs defaults";
    Progress("idle: 1,000 maps, " + std::to_string(kIdleRounds) + " rounds of defaults / settings set but idle");
    if (!SyncMaps() || !bench_data::WriteFeed(m_root + "/idlefeed.xml", "p", kSyncMapCount, m_nginx.Url("/sync")))
        return Fail(name, "cannot write the maps and their feed");
    const std::string program = ExecutableDirectory() + "/../mapautodownloader";
    const std::string common = "<url>" + m_nginx.Url("/idlefeed.xml?bench=1") +
                               "</url><frequency>0</frequency><paralleldownloads>16</paralleldownloads>";
    // Nothing listens on port 9: were the proxy used, every download would fail.
    const std::string idle =
        "<maxrate>1024M</maxrate><proxy>http://127.0.0.1:9</proxy><noproxy>127.0.0.1</noproxy>"
        "<retries>10</retries><onupdate>true</onupdate><onfailure>true</onfailure>"
        "<metricsfile>metrics.prom</metricsfile>";
    int runNumber = 0;
    std::string failure;
    auto pass = [&](bool set, double& seconds, double& cpu) {
        const std::string work = m_root + "/idlework" + std::to_string(++runNumber);
        const std::string save = work + "/maps";
        if (::mkdir(work.c_str(), 0755) != 0 || ::mkdir(save.c_str(), 0755) != 0) return false;
        std::ofstream(work + "/config.xml")
            << "<config>" << common << (set ? idle : "") << "<savepath>" << save << "</savepath></config>\n";
        const CommandRun run = RunCommand({program}, work + "/out.txt", work);
        seconds = run.seconds;
        cpu = run.cpuSeconds;
        std::ifstream in(work + "/out.txt");
        std::ostringstream text;
        text << in.rdbuf();
        if (run.succeeded && CountOccurrences(text.str(), "... Done\n") == kSyncMapCount &&
            CountFiles(save) == kSyncMapCount && (!set || FileSize(work + "/metrics.prom") > 0))
            return true;
        failure = std::string("the pass with the settings ") + (set ? "set" : "at their defaults") +
                  " did not fetch every map or write its metrics: " + text.str().substr(0, 300);
        return false;
    };
    // The settings must be read as meant, or the row would compare two passes at their defaults.
    const std::string check = m_root + "/idlecheck";
    if (::mkdir(check.c_str(), 0755) != 0) return Fail(name, "cannot create " + check);
    std::ofstream(check + "/config.xml") << "<config>" << common << idle << "<savepath>" << check
                                         << "</savepath></config>\n";
    RunCommand({program, "--check-config"}, check + "/settings.txt", check);
    {
        std::ifstream in(check + "/settings.txt");
        std::ostringstream text;
        text << in.rdbuf();
        for (const char* line :
             {"\nmaxrate = 1024M\n", "\nretries = 10\n", "\nonupdate = true\n", "\nonfailure = true\n",
              "\nmetricsfile = metrics.prom\n", "\nproxy = http://127.0.0.1:9\n", "\nnoproxy = 127.0.0.1\n"}) {
            if (text.str().find(line) == std::string::npos)
                return Fail(name, "--check-config does not show" + std::string(line).substr(0, std::strlen(line) - 1));
        }
    }
    std::vector<double> defaults, set, ratios, defaultsCpu, setCpu, cpuRatios;
    for (int round = 0; round < kIdleRounds; ++round) {
        double plain = 0, configured = 0, plainCpu = 0, configuredCpu = 0;
        // Alternate which runs first, so neither always meets the warmer machine.
        const bool plainFirst = round % 2 == 0;
        if (!(plainFirst ? pass(false, plain, plainCpu) && pass(true, configured, configuredCpu)
                         : pass(true, configured, configuredCpu) && pass(false, plain, plainCpu)))
            return Fail(name, failure);
        defaults.push_back(plain);
        set.push_back(configured);
        ratios.push_back(configured / plain);
        defaultsCpu.push_back(plainCpu);
        setCpu.push_back(configuredCpu);
        cpuRatios.push_back(configuredCpu / plainCpu);
    }
    const double ratio = Median(ratios);
    Add(name, Seconds(Median(set)), Seconds(Median(defaults)), Ratio(ratio), "", "<= 1.05", Verdict(ratio <= 1.05));
    // Processor time, the program's and its hooks', moves far less than wall time on a shared
    // machine: it tells a real cost from the neighbours' load.
    Add("same, processor time (user + system)", Seconds(Median(setCpu)), Seconds(Median(defaultsCpu)),
        Ratio(Median(cpuRatios)), "", "report");
    auto spread = [](const std::vector<double>& times) {
        return Seconds(*std::min_element(times.begin(), times.end())) + " to " +
               Seconds(*std::max_element(times.begin(), times.end()));
    };
    m_notes.push_back("idle: medians of " + std::to_string(kIdleRounds) + " rounds; wall time set but idle " +
                      spread(set) + ", defaults " + spread(defaults) + " (the run's noise)");
}

void Bench::AddRowsFrom(const std::string& path) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        fields.resize(8);
        m_case = fields[0];
        Add(fields[1], fields[2], fields[3], fields[4], fields[5], fields[6], fields[7]);
        if (fields[2] == "FAILED") m_failed = true;
    }
}

// One table of every row, each with its bound and whether it was met, then the tally and the notes.
void Bench::Print() const {
    const Row header{"measure", "ours", "reference", "ratio", "peak RSS", "target", "verdict", "case"};
    std::size_t width = header.name.size(), caseWidth = header.bench.size(), targetWidth = header.target.size();
    for (const Row& row : m_rows) {
        width = std::max(width, row.name.size());
        caseWidth = std::max(caseWidth, row.bench.size());
        targetWidth = std::max(targetWidth, row.target.size());
    }
    auto print = [&](const Row& row) {
        std::printf("%-*s | %-*s | %10s | %10s | %7s | %9s | %-*s | %s\n", static_cast<int>(caseWidth),
                    row.bench.c_str(), static_cast<int>(width), row.name.c_str(), row.ours.c_str(),
                    row.reference.c_str(), row.ratio.c_str(), row.rss.c_str(), static_cast<int>(targetWidth),
                    row.target.c_str(), row.verdict.c_str());
    };
    print(header);
    std::printf("%s\n", std::string(caseWidth + width + targetWidth + 60, '-').c_str());
    int bounds = 0, met = 0;
    for (const Row& row : m_rows) {
        print(row);
        if (!row.verdict.empty()) ++bounds;
        if (row.verdict == Verdict(true)) ++met;
    }
    std::printf("targets met: %d of %d\n", met, bounds);
    for (const std::string& note : m_notes) std::printf("%s\n", note.c_str());
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
    // The cases in the order they run, by the names bench/run.sh takes.
    const std::vector<std::pair<std::string, void (Bench::*)()>> all = {
        {"download", &Bench::Download},    {"feed", &Bench::FeedScaling},  {"maps", &Bench::MapCache},
        {"million", &Bench::MillionItems}, {"bigmap", &Bench::BigMap},     {"sync", &Bench::ParallelSync},
        {"synctls", &Bench::SyncOverTLS},  {"idle", &Bench::IdleSettings}, {"https", &Bench::DownloadOverTLS},
        {"memory", &Bench::Memory},
    };
    std::set<std::string> cases;
    for (int i = 1; i < argc; ++i) cases.insert(argv[i]);
    for (const std::string& name : cases) {
        if (std::none_of(all.begin(), all.end(), [&](const auto& known) { return known.first == name; })) {
            std::string names;
            for (const auto& known : all) names += " [" + known.first + "]";
            std::fprintf(stderr, "usage: %s%s\n", argv[0], names.c_str());
            return 2;
        }
    }
    // Everything here is fetched from loopback, the program and the other tools alike: a proxy
    // of the caller's environment would measure that proxy.
    for (const char* variable : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        ::unsetenv(variable);

    TempDir data;
    NginxServer nginx(data.Path());
    if (!nginx.Start()) {
        std::fprintf(stderr, "nginx: %s\n", nginx.Error().c_str());
        return 1;
    }
    std::printf("machine: %ld cores, %s; data in %s; nginx on port %u\n", ::sysconf(_SC_NPROCESSORS_ONLN),
                CpuModel().c_str(), data.Path().c_str(), nginx.Port());
    std::fflush(stdout);

    // For checking results here; each forked measurement starts the platform again (it counts).
    xercesc::XMLPlatformUtils::Initialize();
    Bench bench(data.Path(), nginx);
    for (const auto& [name, run] : all) {
        if (!cases.empty() && cases.count(name) == 0) continue;
        bench.Begin(name);
        (bench.*run)();
    }
    if (const char* rows = std::getenv("MAD_BENCH_ROWS")) bench.AddRowsFrom(rows);
    std::printf("\n");
    bench.Print();
    return bench.Failed() ? 1 : 0;
}
