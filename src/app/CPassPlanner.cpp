#include "app/CPassPlanner.h"

#include <strings.h>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/CMapVersionCache.h"
#include "app/Utils.h"
#include "fs/CAtomicFile.h"

namespace {

// A character of a title, as the feed reader hands it over: always UTF-8, whatever the feed's
// declared encoding, since the parser decodes the feed and the text is encoded again from that.
struct TitleCharacter {
    std::size_t length;
    // Printed and used in a file name as it is.
    bool safe;
};

// Characters that are invisible or steer the terminal or the reading order: a terminal's control
// sequence introducer (U+009B), line breaks for some log viewers (U+0085, U+2028, U+2029), and the
// bidirectional embeddings, overrides and isolates, which can make "evil\u202egnp.map" show as
// "evilpam.png".
bool IsHiddenControl(char32_t code) {
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069) || code == 0x2028 || code == 0x2029;
}

// The character at text (not at its end). Bytes that are not UTF-8 (a stray continuation, a
// sequence cut short, an overlong form, a surrogate, beyond U+10FFFF) come back unsafe, as many as
// belong to the broken sequence.
TitleCharacter NextTitleCharacter(const char* text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t length = 1;
    char32_t code = bytes[0];
    char32_t shortest = 0;
    if (bytes[0] >= 0xC2 && bytes[0] <= 0xDF) {
        length = 2;
        code &= 0x1F;
        shortest = 0x80;
    } else if ((bytes[0] & 0xF0) == 0xE0) {
        length = 3;
        code &= 0x0F;
        shortest = 0x800;
    } else if (bytes[0] >= 0xF0 && bytes[0] <= 0xF4) {
        length = 4;
        code &= 0x07;
        shortest = 0x10000;
    } else if (bytes[0] >= 0x80) {
        return {1, false};
    }
    for (std::size_t i = 1; i < length; ++i) {
        // The terminating zero is no continuation byte, so a cut sequence stops here.
        if ((bytes[i] & 0xC0) != 0x80) return {i, false};
        code = (code << 6) | (bytes[i] & 0x3F);
    }
    const bool valid = code >= shortest && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    return {length, valid && !IsHiddenControl(code)};
}

// A title is used as a file name inside the save directory, so it must name exactly one entry
// there: not empty, not "." or "..", without any path separator, and not of the temporary-file
// pattern (the start-up clean-up would remove such a map). It is also printed, so it holds no
// control, invisible or reordering character and nothing that is not UTF-8 (a terminal escape,
// a line break or a reversed name would forge the operator's log).
bool IsSafeTitle(const char* title) {
    if (title[0] == '\0' || strcmp(title, ".") == 0 || strcmp(title, "..") == 0 || strchr(title, '/') ||
        strchr(title, '\\') || CAtomicFile::IsTemporaryName(title))
        return false;
    for (const char* p = title; *p != '\0';) {
        const TitleCharacter character = NextTitleCharacter(p);
        if (!character.safe) return false;
        p += character.length;
    }
    return true;
}

// The title as it may be printed: each byte of a character IsSafeTitle refuses as \xHH.
std::string PrintableTitle(const char* title) {
    std::string text;
    for (const char* p = title; *p != '\0';) {
        const TitleCharacter character = NextTitleCharacter(p);
        if (character.safe) {
            text.append(p, character.length);
        } else {
            for (std::size_t i = 0; i < character.length; ++i) {
                char escaped[5];
                snprintf(escaped, sizeof(escaped), "\\x%02x", static_cast<unsigned char>(p[i]));
                text += escaped;
            }
        }
        p += character.length;
    }
    return text;
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

bool CPassPlanner::IsProtectedFile(const char* title, Disk& disk) const {
    // Ignoring case: on a file system that does (vfat, SMB, casefolded ext4) "CONFIG.XML" is config.xml.
    if (strcasecmp(title, kConfigFile) != 0 && strcasecmp(title, kFeedFile) != 0 &&
        strcasecmp(title, CMapVersionCache::kStateFileName) != 0)
        return false;
    // Maps are saved as "<save path>/<title>", so an empty save path means the root directory.
    return disk.IsWorkingDirectory(m_strSavePath.empty() ? "/" : m_strSavePath.c_str());
}

CPassPlanner::Decision CPassPlanner::Decide(const CFeedReader::Item& item, Disk& disk) {
    const char* title = item.title;
    const char* link = item.link;
    Decision decision;
    // As it may be printed; a title that needs escaping never gets past the first refusal.
    decision.fetch.title = PrintableTitle(title);
    if (IsIgnored(title)) return decision;
    if (!IsSafeTitle(title) || IsProtectedFile(title, disk))
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
        return Refuse(decision, Format("Cannot read map %s: %s\n", title, strerror(error)));
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
