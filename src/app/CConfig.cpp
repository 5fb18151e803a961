#include "app/CConfig.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "app/ByteSize.h"
#include "app/CMapAutoDownload.h"
#include "app/CPassPlanner.h"
#include "app/IgnoredMaps.h"
#include "fs/CInputFile.h"
#include "tcp/CTLSContext.h"
#include "xml/CXMLFileImpl.h"
#include "xml/CXMLNode.h"

namespace {

// Every child of the root the program reads; a new setting adds its element here.
const char* const kKnownElements[] = {
    "url",
    "frequency",
    "savepath",
    "fullcheckfrequency",
    "downloadsperupdatemax",
    "maxmapcount",
    "timeout",
    "paralleldownloads",
    "cafile",
    "maxredirects",
    "maxmapsize",
    "maxrate",
    "retries",
    "metricsfile",
    "splay",
    "onupdate",
    "onfailure",
    "hooktimeout",
    "proxy",
    "noproxy",
    "ignore",
};

// Text as it may be printed on one line: each control byte as \xHH.
std::string Printable(const std::string& text) {
    std::string printable;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            printable += c;
            continue;
        }
        char escaped[5];
        snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
        printable += escaped;
    }
    return printable;
}

// text without the XML white space around it.
std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// An element's text as a warning quotes it: without the white space around it, which the number
// reader skips too.
std::string Quotable(const std::string& text) { return Printable(Trimmed(text)); }

// An element's whole text, however long.
std::string WholeText(const CXMLNode& node) {
    std::vector<char> buffer(CConfig::kTextSize);
    for (;;) {
        node.GetTagContent(buffer.data(), static_cast<unsigned int>(buffer.size()));
        // A text that fills the buffer may have been cut: read it again into one twice the size.
        if (strlen(buffer.data()) < buffer.size() - 1) return buffer.data();
        buffer.resize(buffer.size() * 2);
    }
}

// A text setting as written, on a line of its own or not: an element laid out as
//   <savepath>
//     /srv/game/maps
//   </savepath>
// names the same folder as one on a single line. No path, address or map title is meant to start
// or end with white space.
std::string SettingText(const CXMLNode& node) { return Trimmed(WholeText(node)); }

std::string ElementText(const CXMLNode& node) {
    // Long enough for any number and the start of whatever else was written.
    char text[256];
    node.GetTagContent(text, sizeof(text));
    return text;
}

std::string TagName(const CXMLNode& node) {
    char name[256];
    node.GetTagName(name, sizeof(name));
    return name;
}

}  // namespace

CConfig::CConfig(std::vector<char*>& ignoredMaps) : m_ignoredMaps(ignoredMaps) {}

CConfig::~CConfig() = default;

bool CConfig::Load(const char* fileName) {
    Release();
    m_warnings.clear();
    // Tell a missing or unreadable file apart from a malformed one. A FIFO or device of that name
    // is never opened to read: it would block.
    int error = 0;
    switch (CInputFile::Check(fileName, error)) {
    case CInputFile::Status::Regular:
        break;
    case CInputFile::Status::NotRegular:
        m_loadError = "not a regular file";
        return false;
    case CInputFile::Status::Missing:
    case CInputFile::Status::Unreadable:
        m_loadError = strerror(error);
        return false;
    }

    m_file = std::make_unique<CXMLFileImpl>(fileName);
    if (!m_file->Parse()) {
        char text[128] = {};
        m_file->GetLastError(text, sizeof(text));
        m_loadError = text[0] ? text : "not a well-formed XML document";
        m_file.reset();
        return false;
    }
    m_root = m_file->GetRootNode();
    if (!m_root) {
        m_loadError = "no root element";
        m_file.reset();
        return false;
    }
    return true;
}

CXMLNode* CConfig::Child(const char* name) const { return m_root ? m_root->FindSubNode(name, 0) : nullptr; }

void CConfig::CheckElements() {
    if (!m_root) return;
    auto warnUnknown = [this](const std::string& name) {
        m_warnings.push_back("config.xml: unknown element '" + name + "' (ignored)\n");
    };
    for (unsigned int i = 0; i < m_root->GetSubNodeCount(); ++i) {
        CXMLNode* child = m_root->GetSubNode(i);
        if (!child) continue;
        const std::string name = TagName(*child);
        const bool known = std::any_of(std::begin(kKnownElements), std::end(kKnownElements),
                                       [&name](const char* element) { return strcasecmp(element, name.c_str()) == 0; });
        if (!known) {
            warnUnknown(name);
            continue;
        }
        if (strcasecmp(name.c_str(), "ignore") != 0) continue;
        for (unsigned int j = 0; j < child->GetSubNodeCount(); ++j) {
            // The ignore list reads only the exact lower-case name.
            if (CXMLNode* entry = child->GetSubNode(j); entry && TagName(*entry) != "map") warnUnknown(TagName(*entry));
        }
    }
}

void CConfig::WarnInvalid(const char* element, const std::string& text, const std::string& used) {
    m_warnings.push_back(std::string("config.xml: ") + element + " value '" + Quotable(text) +
                         "' is not valid, using " + used + "\n");
}

bool CConfig::HasUrl() const { return Child("url") != nullptr; }

CConfig::UrlResult CConfig::ReadUrl() {
    CXMLNode* url = Child("url");
    if (!url) return UrlResult::Blank;
    const std::string text = SettingText(*url);
    if (text.empty()) return UrlResult::Blank;
    if (text.size() > CMapAutoDownload::kMaxFeedUrlLength) return UrlResult::TooLong;
    snprintf(m_szFeedUrl, sizeof(m_szFeedUrl), "%s", text.c_str());
    return UrlResult::Ok;
}

void CConfig::ReadUnsigned(const char* name, unsigned int& value, Range range) {
    CXMLNode* node = Child(name);
    if (!node) return;
    const std::string text = ElementText(*node);
    unsigned int number = 0;
    if (!node->GetTagContent(number)) {
        WarnInvalid(name, text, std::to_string(value));
        return;
    }
    if (number < range.lowest || number > range.highest) {
        if (range.clamp) value = std::clamp(number, range.lowest, range.highest);
        WarnInvalid(name, text, std::to_string(value));
        return;
    }
    value = number;
    // The number reader stops at the first byte that is not part of the number; what follows,
    // other than white space, means the value is not what was meant.
    char* end = nullptr;
    strtol(text.c_str(), &end, 0);
    if (end && end[strspn(end, " \t\r\n")] != '\0') WarnInvalid(name, text, std::to_string(value));
}

void CConfig::ReadFrequency() { ReadUnsigned("frequency", m_settings.frequency); }

bool CConfig::ReadText(const char* name, unsigned int maxLength, std::string& text, bool trim) const {
    CXMLNode* node = Child(name);
    if (!node) return true;
    const std::string read = trim ? SettingText(*node) : WholeText(*node);
    if (read.size() > maxLength) return false;
    text = read;
    return true;
}

bool CConfig::ReadPath(const char* name, std::string& path) const { return ReadText(name, kTextSize - 1, path, true); }

bool CConfig::ReadSavePath() {
    std::string path;
    if (!ReadPath("savepath", path)) return false;
    snprintf(m_szSavePath, sizeof(m_szSavePath), "%s", path.c_str());
    return true;
}

bool CConfig::HasSavePath() const { return m_szSavePath[0] != '\0'; }

bool CConfig::MaySaveInPath(std::string& reason) const {
    struct stat status;
    int error = 0;
    if (stat(m_szSavePath, &status) != 0)
        error = errno;
    else if (!S_ISDIR(status.st_mode))
        error = ENOTDIR;
    else if (access(m_szSavePath, W_OK | X_OK) != 0)
        error = errno;
    if (error != 0) reason = strerror(error);
    return error == 0;
}

bool CConfig::ProbeSavePath(std::string& reason) const {
    // The probe is "temp.dat", created exclusively: a file of that name already in the save
    // directory may be a map, so it is never truncated or removed; the probe then takes a
    // unique name beside it. Only a file this call created is removed.
    char probePath[600];
    snprintf(probePath, sizeof(probePath), "%s/temp.dat", m_szSavePath);
    int fd = open(probePath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        snprintf(probePath, sizeof(probePath), "%s/temp.dat.XXXXXX", m_szSavePath);
        fd = mkostemp(probePath, O_CLOEXEC);
    }
    if (fd < 0) {
        // The system's reason tells a missing directory, a file in its place and a denied write apart.
        reason = strerror(errno);
        return false;
    }
    close(fd);
    unlink(probePath);
    return true;
}

void CConfig::ReadCounts() {
    ReadUnsigned("fullcheckfrequency", m_settings.fullCheckFrequency);
    // Both limits are unsigned in the file and at most 2147483647, so they fit an int.
    unsigned int count = static_cast<unsigned int>(m_settings.maxMapCount);
    ReadUnsigned("maxmapcount", count);
    m_settings.maxMapCount = static_cast<int>(count);
    count = static_cast<unsigned int>(m_settings.downloadsPerUpdateMax);
    ReadUnsigned("downloadsperupdatemax", count);
    m_settings.downloadsPerUpdateMax = static_cast<int>(count);
    ReadUnsigned("timeout", m_settings.timeoutSeconds, {0, kMaximumTimeoutSeconds, true});
    ReadUnsigned("paralleldownloads", m_settings.parallelDownloads, {1, CSettings::kMaximumParallelDownloads, false});
    ReadUnsigned("maxredirects", m_settings.maxRedirects, {0, CSettings::kMaximumRedirects, true});
    ReadUnsigned("retries", m_settings.retries, {0, CSettings::kMaximumRetries, true});
    ReadUnsigned("splay", m_settings.splay);
}

bool CConfig::ReadMaxMapSize() {
    CXMLNode* node = Child("maxmapsize");
    if (!node) return true;
    // One byte more than any size tells an over-long text from one that fits.
    char text[64] = {};
    node->GetTagContent(text, sizeof(text));
    if (text[strspn(text, " \t\r\n")] == '\0') return true;
    return strlen(text) < sizeof(text) - 1 && ParseByteSize(text, m_settings.maxMapSize);
}

bool CConfig::ReadCAFile() { return ReadPath("cafile", m_settings.caFile); }

bool CConfig::CheckCAFile(std::string& reason) const {
    return m_settings.caFile.empty() || CTLSContext::CheckCAFile(m_settings.caFile, reason);
}

bool CConfig::ReadMetricsFile() { return ReadPath("metricsfile", m_settings.metricsFile); }

std::string CConfig::MetricsFileOverwrites() const {
    const std::string& path = m_settings.metricsFile;
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const char* const own = CPassPlanner::OwnFileNamed(name.c_str());
    if (!own) return "";
    if (slash == std::string::npos) return own;
    // Any other way of naming the working directory ("./", its full path, a link to it).
    const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
    struct stat there {};
    struct stat here {};
    if (stat(directory.c_str(), &there) != 0 || stat(".", &here) != 0) return "";
    return there.st_dev == here.st_dev && there.st_ino == here.st_ino ? own : "";
}

bool CConfig::ReadHooks(std::string& tooLong) {
    const std::pair<const char*, std::string*> commands[] = {{"onupdate", &m_settings.onUpdate},
                                                             {"onfailure", &m_settings.onFailure}};
    for (const auto& command : commands) {
        if (!ReadText(command.first, kMaxHookCommandLength, *command.second, false)) {
            tooLong = command.first;
            m_settings.onUpdate.clear();
            m_settings.onFailure.clear();
            return false;
        }
    }
    ReadUnsigned("hooktimeout", m_settings.hookTimeoutSeconds);
    return true;
}

bool CConfig::ReadProxy(std::string& source, const Environment& environment) {
    const auto text = [this](const char* name) {
        std::string value;
        if (CXMLNode* node = Child(name)) value = SettingText(*node);
        return value;
    };
    const auto variable = [&environment](const char* first, const char* second, std::string& name) {
        for (const char* candidate : {first, second}) {
            const char* value = candidate != nullptr ? environment(candidate) : nullptr;
            if (value != nullptr && value[0] != '\0') {
                name = std::string("the environment variable ") + candidate;
                return std::string(value);
            }
        }
        return std::string();
    };
    const auto parse = [&source](const std::string& value, const std::string& name, std::optional<CProxy>& proxy) {
        if (value.empty()) return true;
        CProxy parsed;
        if (!CProxy::Parse(value, parsed)) {
            source = name;
            return false;
        }
        proxy = parsed;
        return true;
    };

    CProxySelector& proxies = m_settings.proxies;
    std::optional<CProxy> http, https;
    const std::string configured = text("proxy");
    if (!configured.empty()) {
        if (!parse(configured, "config.xml's proxy tag", http)) return false;
        https = http;
    } else {
        // Only the lower-case http_proxy: a web server's CGI sets HTTP_PROXY from a request's
        // "Proxy:" header, so curl ignores it, and so does this.
        std::string name;
        if (!parse(variable("http_proxy", nullptr, name), name, http)) return false;
        if (!parse(variable("https_proxy", "HTTPS_PROXY", name), name, https)) return false;
    }
    proxies.SetHttp(http);
    proxies.SetHttps(https);
    if (Child("noproxy")) {
        // A list laid out one host a line reads as one: the selector separates at white space.
        proxies.SetNoProxy(text("noproxy"));
    } else {
        std::string name;
        proxies.SetNoProxy(variable("no_proxy", "NO_PROXY", name));
    }
    return true;
}

bool CConfig::ReadMaxRate() {
    CXMLNode* node = Child("maxrate");
    if (!node) return true;
    const std::string rate = SettingText(*node);
    m_settings.maxRate = rate;
    if (CRateLimiter::Parse(rate, m_settings.maxRateSchedule)) return true;
    m_settings.maxRateSchedule.clear();
    return false;
}

void CConfig::ReadIgnoreList() {
    CXMLNode* ignore = Child("ignore");
    if (!ignore) return;
    for (unsigned int i = 0; i < ignore->GetSubNodeCount(); ++i) {
        CXMLNode* entry = ignore->GetSubNode(i);
        if (!entry) continue;
        // Only the exact lower-case name counts here; "maps" and "MAP" are skipped.
        char tagName[5];
        entry->GetTagName(tagName, sizeof(tagName));
        if (strcmp(tagName, "map") != 0) continue;
        m_ignoredMaps.push_back(IgnoredMapName(SettingText(*entry).c_str()));
    }
}

bool CConfig::IsFrequencyAllowed() const {
    return m_settings.frequency == 0 || m_settings.frequency >= kMinimumFrequency;
}

CSettings CConfig::Settings() const {
    CSettings settings = m_settings;
    settings.feedUrl = m_szFeedUrl;
    settings.savePath = m_szSavePath;
    settings.ignoredMaps = m_ignoredMaps;
    return settings;
}

std::string CConfig::Describe(const CSettings& settings) {
    std::string text =
        "url = " + Printable(settings.feedUrl) + "\n" + "frequency = " + std::to_string(settings.frequency) + "\n" +
        "savepath = " + Printable(settings.savePath) + "\n" +
        "fullcheckfrequency = " + std::to_string(settings.fullCheckFrequency) + "\n" +
        "downloadsperupdatemax = " + std::to_string(settings.downloadsPerUpdateMax) + "\n" +
        "maxmapcount = " + std::to_string(settings.maxMapCount) + "\n" +
        "timeout = " + std::to_string(settings.timeoutSeconds) + "\n" +
        "paralleldownloads = " + std::to_string(settings.parallelDownloads) + "\n" +
        "cafile = " + Printable(settings.caFile) + "\n" + "maxredirects = " + std::to_string(settings.maxRedirects) +
        "\n" + "maxmapsize = " + std::to_string(settings.maxMapSize) + "\n" +
        "maxrate = " + Printable(settings.maxRate) + "\n" + "retries = " + std::to_string(settings.retries) + "\n" +
        "onupdate = " + Printable(settings.onUpdate) + "\n" + "onfailure = " + Printable(settings.onFailure) + "\n" +
        "hooktimeout = " + std::to_string(settings.hookTimeoutSeconds) + "\n" +
        "metricsfile = " + Printable(settings.metricsFile) + "\n" + "splay = " + std::to_string(settings.splay) + "\n";
    // The proxies in effect, from the file or the environment, never with a password.
    std::string proxies;
    for (const std::string& proxy : settings.proxies.Shown()) proxies += (proxies.empty() ? "" : " ") + proxy;
    text += "proxy = " + proxies + "\nnoproxy = " + Printable(settings.proxies.NoProxy()) + "\n";
    if (settings.ignoredMaps.empty()) return text + "ignore = \n";
    for (const char* name : settings.ignoredMaps)
        text += std::string("ignore = ") + (name ? Printable(name) : "") + "\n";
    return text;
}

void CConfig::Release() {
    m_root = nullptr;
    m_file.reset();
}
