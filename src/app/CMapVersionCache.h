#ifndef MAD_APP_CMAPVERSIONCACHE_H
#define MAD_APP_CMAPVERSIONCACHE_H

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

// Remembers the version found in each map file together with the file's identity (device,
// inode, size, modification and status-change times in nanoseconds), so a pass re-reads a map
// only when the file changed. An answer is given only while the file's identity is exactly the
// remembered one; any rename over it, truncation, edit, touch, chmod or deletion makes it miss.
//
// Timestamps have a granularity (and the file system's clock lags the precise one), so a file
// changed again right after it was recorded could keep the same identity. An entry is therefore
// trusted only when the file's last change is clearly older than the moment the identity was
// taken (kRacyMarginNs); a newer entry misses once, and the caller re-reads and re-records it.
// This assumes file times come from this machine's clock, as on local file systems.
//
// The memory can be saved to and loaded from a small state file. Not thread-safe.
class CMapVersionCache {
public:
    // Nanoseconds since the epoch on the clock the file system stamps files with.
    using Clock = std::function<int64_t()>;

    // Larger than the coarsest timestamp granularity in use (2 s) plus the clock's lag.
    static constexpr int64_t kRacyMarginNs = 3'000'000'000;
    // File name of the saved state, kept beside autoupdate.xml.
    static constexpr const char* kStateFileName = "mapversions.dat";

    struct FileIdentity {
        uint64_t device = 0;
        uint64_t inode = 0;
        int64_t size = 0;
        int64_t mtimeNs = 0;
        int64_t ctimeNs = 0;

        bool operator==(const FileIdentity& other) const;
        bool operator!=(const FileIdentity& other) const { return !(*this == other); }
    };

    // A file's identity and the moment it was taken; invalid when the file could not be stat'ed.
    struct Snapshot {
        bool valid = false;
        FileIdentity identity;
        int64_t takenNs = 0;
    };

    static int64_t RealTimeNs();

    explicit CMapVersionCache(Clock clock = RealTimeNs);

    // True, with version set, when path exists and its identity is the remembered one, recorded
    // clearly after the file's last change. Otherwise version is left alone; a missing or changed
    // file's entry is dropped.
    bool Lookup(const char* path, int& version);
    // The same with the file's identity as now already taken (see Observe).
    bool Lookup(const char* path, const Snapshot& now, int& version);
    // The identity of path as it is now. Take it before reading the file and hand it to
    // Remember afterwards, so a change made while reading is noticed on the next Lookup.
    Snapshot Observe(const char* path) const;
    // The identity of name in the open directory directoryFd, whatever its path now leads to.
    Snapshot Observe(int directoryFd, const char* name) const;
    // Records version for the identity in before; an invalid snapshot forgets path instead.
    void Remember(const char* path, const Snapshot& before, int version);
    // Records version for the file as it is now, e.g. right after this program wrote it.
    void Remember(const char* path, int version);
    // Records that the file as it is now, just written by this program, is version although
    // its content cannot say so (it has no version record). Lookup answers version for exactly
    // this identity, at once and after a reload, and never re-reads the file for it; any change
    // to the file drops the entry.
    void RememberAssumed(const char* path, int version);
    // The same with the identity of the file just written, as Observe gave it.
    void RememberAssumed(const char* path, const Snapshot& now, int version);
    void Forget(const char* path);

    std::size_t Size() const { return m_entries.size(); }
    // True when the memory differs from what was last saved or loaded.
    bool HasChanges() const { return m_bChanged; }

    // Replaces the memory with the saved state in file. A missing, unreadable or corrupt file
    // leaves the memory empty and returns false.
    bool Load(const std::string& file);
    // Writes the memory to file atomically (a temporary file beside it, then rename). On failure
    // the old file stays as it was and false is returned.
    bool Save(const std::string& file);
    // The errno of the last Save that failed; 0 after one succeeded.
    int SaveError() const { return m_saveError; }

private:
    struct Entry {
        FileIdentity identity;
        int64_t recordedNs = 0;
        int version = 0;
        // The version was assigned by the program, not read from the file.
        bool assumed = false;
    };

    static bool IsTrusted(const Entry& entry);
    static bool ParseState(const std::string& text, std::unordered_map<std::string, Entry>& entries);
    std::string FormatState() const;

    Clock m_clock;
    std::unordered_map<std::string, Entry> m_entries;
    bool m_bChanged = false;
    int m_saveError = 0;
};

#endif
