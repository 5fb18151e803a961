#include "app/CPassPlanner.h"

#include <strings.h>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/CMapVersionCache.h"
#include "app/Utils.h"
#include "fs/CAtomicFile.h"

namespace {

// A title is used as a file name inside the save directory, so it must name exactly one entry
// there: not empty, not "." or "..", without any path separator, and not of the temporary-file
// pattern (the start-up clean-up would remove such a map). It is also printed, so it must print as
// itself (printable is PrintableText of it): no control, invisible or reordering character and
// nothing that is not UTF-8 (a terminal escape, a line break or a reversed name would forge the
// operator's log).
bool IsSafeTitle(const char* title, const std::string& printable) {
    if (title[0] == '\0' || strcmp(title, ".") == 0 || strcmp(title, "..") == 0 || strchr(title, '/') ||
        strchr(title, '\\') || CAtomicFile::IsTemporaryName(title))
        return false;
    return printable == title;
}

CPassPlanner::Decision Refuse(CPassPlanner::Decision decision, std::string line,
                              Severity severity = Severity::Warning) {
    decision.kind = CPassPlanner::Decision::Kind::Refused;
    decision.line = std::move(line);
    decision.severity = severity;
    return decision;
}

}  // namespace

static_assert(CFeedReader::kItemTextSize == CPassPlanner::kItemTextSize + 1,
              "each text buffer has one byte more than the feed's limit, to notice text that would be cut");

CPassPlanner::CPassPlanner(const std::string& savePath, const std::vector<char*>& ignoredMaps,
                           int downloadsPerUpdateMax)
    : m_strSavePath(savePath), m_vecIgnoredMaps(ignoredMaps), m_iDownloadsPerUpdateMax(downloadsPerUpdateMax) {}

bool CPassPlanner::IsIgnored(const char* title) const {
    for (const char* name : m_vecIgnoredMaps) {
        if (name && strcasecmp(name, title) == 0) return true;
    }
    return false;
}

const char* CPassPlanner::OwnFileNamed(const char* name) {
    // Ignoring case: on a file system that does (vfat, SMB, casefolded ext4) "CONFIG.XML" is config.xml.
    for (const char* file : {kConfigFile, kFeedFile, CMapVersionCache::kStateFileName})
        if (strcasecmp(name, file) == 0) return file;
    return nullptr;
}

bool CPassPlanner::IsProtectedFile(const char* title, Disk& disk) const {
    if (!OwnFileNamed(title)) return false;
    // Maps are saved as "<save path>/<title>", so an empty save path means the root directory.
    return disk.IsWorkingDirectory(m_strSavePath.empty() ? "/" : m_strSavePath.c_str());
}

CPassPlanner::Decision CPassPlanner::Decide(const CFeedReader::Item& item, Disk& disk) {
    const char* title = item.title;
    const char* link = item.link;
    Decision decision;
    // As it may be printed; a title that needs escaping never gets past the first refusal.
    decision.fetch.title = PrintableText(title);
    if (IsIgnored(title)) return decision;
    if (!IsSafeTitle(title, decision.fetch.title) || IsProtectedFile(title, disk))
        return Refuse(decision, Format("Skipping map with an unsafe name: %s\n", decision.fetch.title.c_str()));

    char mapPath[kMapPathSize];
    const int pathLength = snprintf(mapPath, sizeof(mapPath), "%s/%s", m_strSavePath.c_str(), title);
    if (strlen(title) >= kItemTextSize || pathLength < 0 || static_cast<unsigned int>(pathLength) >= sizeof(mapPath))
        return Refuse(decision, Format("Skipping map with a name or path that is too long: %s\n", title));

    // A map that is there but cannot be read is left alone: downloading it again would only
    // repeat on every pass, and the replacement would take the old file's mode.
    int error = 0;
    switch (disk.Check(mapPath, error)) {
    case CInputFile::Status::Regular:
    case CInputFile::Status::Missing:
        break;
    case CInputFile::Status::NotRegular:
        return Refuse(decision, Format("Skipping map that is not a regular file: %s\n", title));
    case CInputFile::Status::Unreadable:
        return Refuse(decision, Format("Cannot read map %s: %s\n", title, strerror(error)), Severity::Error);
    }

    const int localVersion = disk.MapVersion(mapPath, error);
    if (localVersion == kStopped) {
        decision.kind = Decision::Kind::Stopped;
        return decision;
    }
    // Only a map that was read and holds no record counts as unversioned.
    if (localVersion == kCannotRead)
        return Refuse(decision, Format("Cannot read map %s: %s\n", title, strerror(error)), Severity::Error);
    const bool needed = localVersion == kNoFile || localVersion == kNoVersionRecord ||
                        static_cast<unsigned int>(localVersion) < item.version;
    if (!needed) {
        decision.kind = Decision::Kind::UpToDate;
        return decision;
    }
    if (strlen(link) >= kItemTextSize)
        return Refuse(decision, Format("Skipping map with a link that is too long: %s\n", title));

    decision.fetch.link = link;
    decision.fetch.mapPath = mapPath;
    decision.fetch.feedVersion = item.version;
    decision.fetch.localVersion = localVersion;
    ++m_iDownloads;
    if (m_iDownloadsPerUpdateMax != 0 && m_iDownloads > m_iDownloadsPerUpdateMax) {
        ++m_uiHeldBack;
        decision.kind = Decision::Kind::HeldBack;
        return decision;
    }
    decision.kind = Decision::Kind::Fetch;
    return decision;
}

std::string CPassPlanner::DownloadHead(const Fetch& fetch) {
    const char* title = fetch.title.c_str();
    if (fetch.localVersion == kNoVersionRecord)
        return Format("Version info not found in %s, downloading again... ", title);
    if (fetch.localVersion == kNoFile) return Format("Downloading %s... ", title);
    return Format("Updating %s from version %d to version %d... ", title, fetch.localVersion,
                  static_cast<int>(fetch.feedVersion));
}

std::string CPassPlanner::DryRunLine(const Fetch& fetch) {
    const char* title = fetch.title.c_str();
    if (fetch.localVersion == kNoVersionRecord)
        return Format("Would download %s again, version info not found\n", title);
    if (fetch.localVersion == kNoFile) return Format("Would download %s\n", title);
    return Format("Would update %s from version %d to version %d\n", title, fetch.localVersion,
                  static_cast<int>(fetch.feedVersion));
}
