#include "app/CMapVersionCache.h"

#include "fs/CAtomicFile.h"
#include "fs/CInputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Version 2 adds a flag per entry; a version 1 file still loads (no entry flagged). An older
// program discards a version 2 file, which only costs it re-reads.
const char kStateHeader[] = "mapversions 2\n";
const char kStateHeaderV1[] = "mapversions 1\n";
const char kStateTrailer[] = "end ";
// A state file larger than this is not ours (about 200 bytes per map).
const std::size_t kMaxStateBytes = 256u * 1024u * 1024u;

// The versions a map can have: a version, or "no readable version record".
bool IsStorableVersion(int version) { return version >= 0 || version == -2; }

int64_t ToNs(const struct timespec& time) { return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec; }

uint64_t Fnv1a(const char* data, std::size_t size) {
    uint64_t hash = 14695981039346656037ull;
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

// A FIFO or device named like the state file is never opened to read: it would block.
bool ReadAll(const std::string& file, std::string& text) {
    CInputFile input;
    return input.Open(file) == CInputFile::Status::Regular && input.ReadAll(text, kMaxStateBytes);
}

// Reads one decimal number ended by a single space; advances pos past the space.
bool ParseSigned(const std::string& text, std::size_t& pos, int64_t& value) {
    const char* start = text.c_str() + pos;
    if (*start != '-' && (*start < '0' || *start > '9')) return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(start, &end, 10);
    if (errno != 0 || end == start || *end != ' ') return false;
    value = parsed;
    pos += static_cast<std::size_t>(end - start) + 1;
    return true;
}

bool ParseUnsigned(const std::string& text, std::size_t& pos, uint64_t& value) {
    const char* start = text.c_str() + pos;
    if (*start < '0' || *start > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(start, &end, 10);
    if (errno != 0 || end == start || *end != ' ') return false;
    value = parsed;
    pos += static_cast<std::size_t>(end - start) + 1;
    return true;
}

}  // namespace

bool CMapVersionCache::FileIdentity::operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size && mtimeNs == other.mtimeNs &&
           ctimeNs == other.ctimeNs;
}

int64_t CMapVersionCache::RealTimeNs() {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return ToNs(now);
}

CMapVersionCache::CMapVersionCache(Clock clock) : m_clock(std::move(clock)) {}

bool CMapVersionCache::IsTrusted(const Entry& entry) {
    // Any later change sets the status-change time to the clock's "now" at least, so once that
    // is past the recorded one by more than a granule the identity cannot repeat. The
    // modification time counts too, for file systems that keep no honest status-change time.
    const int64_t lastChange =
        entry.identity.ctimeNs > entry.identity.mtimeNs ? entry.identity.ctimeNs : entry.identity.mtimeNs;
    return lastChange < entry.recordedNs - kRacyMarginNs;
}

bool CMapVersionCache::Lookup(const char* path, int& version) {
    if (m_entries.find(path) == m_entries.end()) return false;
    return Lookup(path, Observe(path), version);
}

bool CMapVersionCache::Lookup(const char* path, const Snapshot& now, int& version) {
    const auto found = m_entries.find(path);
    if (found == m_entries.end()) return false;
    if (!now.valid || now.identity != found->second.identity) {
        m_entries.erase(found);
        m_bChanged = true;
        return false;
    }
    // An assumed version cannot be re-read from the file, and the identity was taken right
    // after this program's own rename, so it is answered without the racy-margin wait.
    if (!found->second.assumed && !IsTrusted(found->second)) return false;
    version = found->second.version;
    return true;
}

CMapVersionCache::Snapshot CMapVersionCache::Observe(const char* path) const { return Observe(AT_FDCWD, path); }

CMapVersionCache::Snapshot CMapVersionCache::Observe(int directoryFd, const char* name) const {
    Snapshot snapshot;
    // The moment comes before the stat: a change after it cannot look older than it.
    snapshot.takenNs = m_clock();
    struct stat info;
    if (::fstatat(directoryFd, name, &info, 0) != 0) return snapshot;
    snapshot.valid = true;
    snapshot.identity.device = static_cast<uint64_t>(info.st_dev);
    snapshot.identity.inode = static_cast<uint64_t>(info.st_ino);
    snapshot.identity.size = static_cast<int64_t>(info.st_size);
    snapshot.identity.mtimeNs = ToNs(info.st_mtim);
    snapshot.identity.ctimeNs = ToNs(info.st_ctim);
    return snapshot;
}

void CMapVersionCache::Remember(const char* path, const Snapshot& before, int version) {
    if (!before.valid || !IsStorableVersion(version)) {
        Forget(path);
        return;
    }
    Entry& entry = m_entries[path];
    entry.identity = before.identity;
    entry.recordedNs = before.takenNs;
    entry.version = version;
    entry.assumed = false;
    m_bChanged = true;
}

void CMapVersionCache::Remember(const char* path, int version) { Remember(path, Observe(path), version); }

void CMapVersionCache::RememberAssumed(const char* path, int version) { RememberAssumed(path, Observe(path), version); }

void CMapVersionCache::RememberAssumed(const char* path, const Snapshot& now, int version) {
    Remember(path, now, version);
    const auto found = m_entries.find(path);
    if (found != m_entries.end()) found->second.assumed = true;
}

void CMapVersionCache::Forget(const char* path) {
    if (m_entries.erase(path) > 0) m_bChanged = true;
}

std::string CMapVersionCache::FormatState() const {
    std::string text = kStateHeader;
    char line[256];
    for (const auto& [path, entry] : m_entries) {
        std::snprintf(
            line, sizeof line, "%d %d %" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64 " %" PRId64 " %" PRId64 " %zu ",
            entry.version, entry.assumed ? 1 : 0, entry.identity.device, entry.identity.inode, entry.identity.size,
            entry.identity.mtimeNs, entry.identity.ctimeNs, entry.recordedNs, path.size());
        text += line;
        text += path;
        text += '\n';
    }
    std::snprintf(line, sizeof line, "%s%zu %016" PRIx64 "\n", kStateTrailer, m_entries.size(),
                  Fnv1a(text.data(), text.size()));
    text += line;
    return text;
}

bool CMapVersionCache::ParseState(const std::string& text, std::unordered_map<std::string, Entry>& entries) {
    const std::size_t headerSize = sizeof kStateHeader - 1;
    static_assert(sizeof kStateHeader == sizeof kStateHeaderV1, "headers of one length");
    const bool flagged = text.compare(0, headerSize, kStateHeader) == 0;
    if (!flagged && text.compare(0, headerSize, kStateHeaderV1) != 0) return false;
    // The trailer is the last line: "end <count> <checksum of everything before it>".
    if (text.empty() || text.back() != '\n') return false;
    const std::size_t trailerStart = text.rfind('\n', text.size() - 2) + 1;
    if (trailerStart < headerSize) return false;
    unsigned long long count = 0;
    unsigned long long checksum = 0;
    char rest = 0;
    if (std::sscanf(text.c_str() + trailerStart, "end %llu %16llx%c", &count, &checksum, &rest) != 3 || rest != '\n' ||
        checksum != Fnv1a(text.data(), trailerStart)) {
        return false;
    }

    std::size_t pos = headerSize;
    while (pos < trailerStart) {
        int64_t version = 0;
        Entry entry;
        uint64_t pathSize = 0;
        int64_t assumed = 0;
        if (!ParseSigned(text, pos, version) || version < INT32_MIN || version > INT32_MAX ||
            !IsStorableVersion(static_cast<int>(version)) ||
            (flagged && (!ParseSigned(text, pos, assumed) || (assumed != 0 && assumed != 1))) ||
            !ParseUnsigned(text, pos, entry.identity.device) || !ParseUnsigned(text, pos, entry.identity.inode) ||
            !ParseSigned(text, pos, entry.identity.size) || !ParseSigned(text, pos, entry.identity.mtimeNs) ||
            !ParseSigned(text, pos, entry.identity.ctimeNs) || !ParseSigned(text, pos, entry.recordedNs) ||
            !ParseUnsigned(text, pos, pathSize) || pathSize == 0 || pathSize >= trailerStart - pos ||
            text[pos + pathSize] != '\n') {
            return false;
        }
        entry.version = static_cast<int>(version);
        entry.assumed = assumed == 1;
        entries[text.substr(pos, pathSize)] = entry;
        pos += pathSize + 1;
    }
    return entries.size() == count;
}

bool CMapVersionCache::Load(const std::string& file) {
    m_entries.clear();
    m_bChanged = false;
    std::string text;
    std::unordered_map<std::string, Entry> loaded;
    if (!ReadAll(file, text) || !ParseState(text, loaded)) return false;
    m_entries = std::move(loaded);
    return true;
}

bool CMapVersionCache::Save(const std::string& file) {
    const std::string text = FormatState();
    // Not flushed to disk: after a crash the state is at worst old or missing, and both only cost re-reads.
    CAtomicFile state(file, CAtomicFile::Sync::Fast);
    if (!state.Open() || !state.Write(text.data(), text.size()) || !state.Commit()) {
        m_saveError = state.Error();
        return false;
    }
    m_saveError = 0;
    m_bChanged = false;
    return true;
}
