#include "app/CConfig.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "app/ByteSize.h"
#include "app/CMapAutoDownload.h"
#include "app/IgnoredMaps.h"
#include "fs/CInputFile.h"
#include "tcp/CTLSContext.h"
#include "xml/CXMLFileImpl.h"
#include "xml/CXMLNode.h"

CConfig::CConfig(std::vector<char*>& ignoredMaps) : m_ignoredMaps(ignoredMaps)
{
}

CConfig::~CConfig() = default;

bool CConfig::Load(const char* fileName)
{
    Release();
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

CXMLNode* CConfig::Child(const char* name) const
{
    return m_root ? m_root->FindSubNode(name, 0) : nullptr;
}

bool CConfig::HasUrl() const
{
    return Child("url") != nullptr;
}

CConfig::UrlResult CConfig::ReadUrl()
{
    CXMLNode* url = Child("url");
    if (!url)
        return UrlResult::Blank;
    // One byte more than allowed tells an over-long URL from one that just fits.
    char text[CMapAutoDownload::kMaxFeedUrlLength + 2];
    url->GetTagContent(text, sizeof(text));
    if (text[0] == '\0')
        return UrlResult::Blank;
    if (strlen(text) > CMapAutoDownload::kMaxFeedUrlLength)
        return UrlResult::TooLong;
    snprintf(m_szFeedUrl, sizeof(m_szFeedUrl), "%s", text);
    return UrlResult::Ok;
}

void CConfig::ReadUnsigned(const char* name, unsigned int& value) const
{
    if (CXMLNode* node = Child(name))
        node->GetTagContent(value);
}

void CConfig::ReadFrequency()
{
    ReadUnsigned("frequency", m_settings.frequency);
}

bool CConfig::ReadPath(const char* name, std::string& path) const
{
    CXMLNode* node = Child(name);
    if (!node)
        return true;
    // One byte more than allowed tells an over-long path from one that just fits.
    char text[kTextSize + 1];
    node->GetTagContent(text, sizeof(text));
    if (strlen(text) >= kTextSize)
        return false;
    path = text;
    return true;
}

bool CConfig::ReadSavePath()
{
    std::string path;
    if (!ReadPath("savepath", path))
        return false;
    snprintf(m_szSavePath, sizeof(m_szSavePath), "%s", path.c_str());
    return true;
}

bool CConfig::HasSavePath() const
{
    return m_szSavePath[0] != '\0';
}

bool CConfig::ProbeSavePath(std::string& reason) const
{
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

void CConfig::ReadCounts()
{
    ReadUnsigned("fullcheckfrequency", m_settings.fullCheckFrequency);
    // Both limits are unsigned in the file and at most 2147483647, so they fit an int.
    unsigned int count = static_cast<unsigned int>(m_settings.maxMapCount);
    ReadUnsigned("maxmapcount", count);
    m_settings.maxMapCount = static_cast<int>(count);
    count = static_cast<unsigned int>(m_settings.downloadsPerUpdateMax);
    ReadUnsigned("downloadsperupdatemax", count);
    m_settings.downloadsPerUpdateMax = static_cast<int>(count);
    ReadUnsigned("timeout", m_settings.timeoutSeconds);
    if (m_settings.timeoutSeconds > kMaximumTimeoutSeconds)
        m_settings.timeoutSeconds = kMaximumTimeoutSeconds;
    unsigned int parallel = 0;
    ReadUnsigned("paralleldownloads", parallel);
    if (parallel >= 1 && parallel <= CSettings::kMaximumParallelDownloads)
        m_settings.parallelDownloads = parallel;
    ReadUnsigned("maxredirects", m_settings.maxRedirects);
    m_cappedMaxRedirects.clear();
    if (m_settings.maxRedirects > CSettings::kMaximumRedirects) {
        m_settings.maxRedirects = CSettings::kMaximumRedirects;
        char text[kTextSize];
        Child("maxredirects")->GetTagContent(text, sizeof(text));
        m_cappedMaxRedirects = text;
    }
}

bool CConfig::ReadMaxMapSize()
{
    CXMLNode* node = Child("maxmapsize");
    if (!node)
        return true;
    // One byte more than any size tells an over-long text from one that fits.
    char text[64] = {};
    node->GetTagContent(text, sizeof(text));
    if (text[strspn(text, " \t\r\n")] == '\0')
        return true;
    return strlen(text) < sizeof(text) - 1 && ParseByteSize(text, m_settings.maxMapSize);
}

bool CConfig::ReadCAFile()
{
    return ReadPath("cafile", m_settings.caFile);
}

bool CConfig::CheckCAFile(std::string& reason) const
{
    return m_settings.caFile.empty() || CTLSContext::CheckCAFile(m_settings.caFile, reason);
}

void CConfig::ReadIgnoreList()
{
    CXMLNode* ignore = Child("ignore");
    if (!ignore)
        return;
    for (unsigned int i = 0; i < ignore->GetSubNodeCount(); ++i) {
        CXMLNode* entry = ignore->GetSubNode(i);
        if (!entry)
            continue;
        // Only the exact lower-case name counts here; "maps" and "MAP" are skipped.
        char tagName[5];
        entry->GetTagName(tagName, sizeof(tagName));
        if (strcmp(tagName, "map") != 0)
            continue;
        char* name = AllocateIgnoredMapName();
        entry->GetTagContent(name, kIgnoredMapNameSize);
        m_ignoredMaps.push_back(name);
    }
}

bool CConfig::IsFrequencyAllowed() const
{
    return m_settings.frequency == 0 || m_settings.frequency >= kMinimumFrequency;
}

CSettings CConfig::Settings() const
{
    CSettings settings = m_settings;
    settings.feedUrl = m_szFeedUrl;
    settings.savePath = m_szSavePath;
    settings.ignoredMaps = m_ignoredMaps;
    return settings;
}

void CConfig::Release()
{
    m_root = nullptr;
    m_file.reset();
}
