#ifndef MAD_APP_CCONFIG_H
#define MAD_APP_CCONFIG_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CSettings.h"

class CXMLFile;
class CXMLNode;

// The downloader's settings as read from its configuration file, one checking step at a time.
// The entry calls the steps in its own order and prints the messages; this class only reads and
// judges. What it reads but cannot use as written (an unknown element, a number that does not
// read or is out of range) it notes as a warning line and goes on, as it always did. It owns the parsed document until
// Release or destruction. Ignored map names are appended to the list given to the constructor (the caller's list
// outlives this object).
class CConfig {
public:
    enum class UrlResult { Ok, Blank, TooLong };

    // Buffer sizes of the two paths: at most 511 characters each.
    static constexpr unsigned int kTextSize = 512;
    static constexpr unsigned int kDefaultFrequency = CSettings::kDefaultFrequency;
    static constexpr unsigned int kMinimumFrequency = 60;
    static constexpr unsigned int kDefaultFullCheckFrequency = CSettings::kDefaultFullCheckFrequency;
    static constexpr unsigned int kDefaultTimeoutSeconds = CSettings::kDefaultTimeoutSeconds;
    // The longest time-out whose milliseconds still fit the HTTP client's 32-bit count.
    static constexpr unsigned int kMaximumTimeoutSeconds = 4294967;
    static constexpr unsigned int kMaxHookCommandLength = 1023;

    explicit CConfig(std::vector<char*>& ignoredMaps);
    ~CConfig();
    CConfig(const CConfig&) = delete;
    CConfig& operator=(const CConfig&) = delete;

    // Opens and parses the file. False when it cannot be read, is not well-formed XML or has no
    // root element; LoadError() then tells why.
    bool Load(const char* fileName);
    const std::string& LoadError() const { return m_loadError; }

    // Notes a warning for each element the program does not read: a child of the root that names
    // no setting (ignoring letter case), a child of "ignore" other than "map".
    void CheckElements();
    // Lines of the form "config.xml: ...\n", in the order they were noted.
    const std::vector<std::string>& Warnings() const { return m_warnings; }

    // Whether the root has a "url" child (names match ignoring letter case).
    bool HasUrl() const;
    // Reads the feed URL without the white space around it: Blank when that leaves nothing,
    // TooLong when the request built from it could not fit the request buffer (the feed URL then
    // stays empty).
    UrlResult ReadUrl();
    // Each numeric read keeps the default when the element is absent or not a valid unsigned
    // number, the latter with a warning.
    void ReadFrequency();
    // False when the path is longer than 511 characters (it then stays empty).
    bool ReadSavePath();
    // Whether the save path read is not empty: maps are saved as "<save path>/<title>", so an empty
    // one would mean the root of the file system.
    bool HasSavePath() const;
    // Creates and removes "<save path>/temp.dat". False when it cannot be created; reason then
    // holds the system's words for why.
    bool ProbeSavePath(std::string& reason) const;
    // The same question without writing: whether the save path is a directory this process may
    // create files in; reason as for ProbeSavePath.
    bool MaySaveInPath(std::string& reason) const;
    // fullcheckfrequency, maxmapcount, downloadsperupdatemax, timeout (capped), maxredirects
    // (a value above 20 acts as 20), retries (more than 10 acts as 10), splay and paralleldownloads
    // (1 to 32; a value out of range keeps the default), each out-of-range or unreadable value
    // with a warning.
    void ReadCounts();
    // False when maxmapsize is there but is not a size (bytes, or a number with k, M or G); an
    // empty one, like none, sets no limit.
    bool ReadMaxMapSize();
    // False when the cafile path is longer than 511 characters (it then stays empty).
    bool ReadCAFile();
    // Whether the cafile, when one is named, is a readable file of PEM certificates;
    // reason tells why not.
    bool CheckCAFile(std::string& reason) const;
    // False when the metricsfile path is longer than 511 characters (it then stays empty).
    bool ReadMetricsFile();
    // The name of the program's own file in the working directory (config.xml, autoupdate.xml,
    // mapversions.dat) that the metricsfile path names, which each write of the metrics would
    // replace; empty when it names none.
    std::string MetricsFileOverwrites() const;
    // onupdate, onfailure and hooktimeout. False when a command line is longer than
    // kMaxHookCommandLength; tooLong then names its element and the commands stay empty.
    bool ReadHooks(std::string& tooLong);
    // The environment as getenv reads it: the value of a variable, or null when it is not set.
    using Environment = std::function<const char*(const char* name)>;
    // Reads "proxy" and "noproxy", each without the white space around it (a line break inside
    // noproxy separates like a space). Without a proxy element (or with an empty one) the environment
    // names them as curl reads it: http_proxy for http URLs, https_proxy or else HTTPS_PROXY for
    // https URLs; without a noproxy element no_proxy or else NO_PROXY. False when a proxy does not
    // read; source then names where it came from ("config.xml's proxy tag" or "the environment
    // variable <name>"), never its value, which may hold a password.
    bool ReadProxy(std::string& source, const Environment& environment);
    // The bandwidth cap, when a maxrate element is present: false when its text does not read
    // (see CRateLimiter::Parse); it then counts as not set.
    bool ReadMaxRate();
    // Appends the text of every "map" child of "ignore" (exact lower-case name), without the white
    // space around it, to the list.
    void ReadIgnoreList();
    // Run-once (0) or at least the minimum frequency.
    bool IsFrequencyAllowed() const;
    // Drops the parsed document.
    void Release();

    // The settings one per line, "name = value\n", under the names of their elements, defaults
    // included; one "ignore = <title>" line per ignored title, or "ignore = " for none.
    static std::string Describe(const CSettings& settings);

    // The settings read so far, with the ignored names appended to the list given to the
    // constructor.
    CSettings Settings() const;

    const char* FeedUrl() const { return m_szFeedUrl; }
    const char* SavePath() const { return m_szSavePath; }
    unsigned int Frequency() const { return m_settings.frequency; }
    unsigned int FullCheckFrequency() const { return m_settings.fullCheckFrequency; }
    int DownloadsPerUpdateMax() const { return m_settings.downloadsPerUpdateMax; }
    int MaxMapCount() const { return m_settings.maxMapCount; }
    unsigned int TimeoutSeconds() const { return m_settings.timeoutSeconds; }
    unsigned int ParallelDownloads() const { return m_settings.parallelDownloads; }
    const std::string& CAFile() const { return m_settings.caFile; }
    unsigned int MaxRedirects() const { return m_settings.maxRedirects; }
    unsigned long long MaxMapSize() const { return m_settings.maxMapSize; }
    unsigned int Retries() const { return m_settings.retries; }
    unsigned int Splay() const { return m_settings.splay; }
    const std::string& MetricsFile() const { return m_settings.metricsFile; }
    const std::string& OnUpdate() const { return m_settings.onUpdate; }
    const std::string& OnFailure() const { return m_settings.onFailure; }
    unsigned int HookTimeoutSeconds() const { return m_settings.hookTimeoutSeconds; }
    // The maxrate text as written (surrounding white space dropped); empty when none is set.
    const std::string& MaxRate() const { return m_settings.maxRate; }

private:
    // The numbers a setting takes. Out of range, a clamped setting takes the nearest limit, any
    // other keeps its value.
    struct Range {
        unsigned int lowest;
        unsigned int highest;
        bool clamp;
    };

    CXMLNode* Child(const char* name) const;
    // Reads an unsigned number (decimal, octal or hexadecimal, at most 2147483647) within range
    // into value. An absent element leaves value silently; anything else that is not taken as
    // written leaves a warning naming the value used.
    void ReadUnsigned(const char* name, unsigned int& value, Range range = {0, 0xFFFFFFFFu, false});
    // Notes "config.xml: <element> value '<text>' is not valid, using <used>".
    void WarnInvalid(const char* element, const std::string& text, const std::string& used);
    // Reads a path of at most kTextSize - 1 characters, without the white space around it, into
    // path; false (path untouched) when it is longer. An absent element leaves path as it is.
    bool ReadPath(const char* name, std::string& path) const;
    // The same for a text of at most maxLength characters; trim drops the white space around it.
    bool ReadText(const char* name, unsigned int maxLength, std::string& text, bool trim) const;

    std::vector<char*>& m_ignoredMaps;
    std::unique_ptr<CXMLFile> m_file;
    CXMLNode* m_root = nullptr;
    std::string m_loadError;
    std::vector<std::string> m_warnings;
    char m_szFeedUrl[kTextSize] = {};
    char m_szSavePath[kTextSize] = {};
    // The numbers; the two texts live in the buffers above until Settings() copies them.
    CSettings m_settings;
};

#endif
