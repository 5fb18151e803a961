#include "app/CMapVersionCache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <thread>

#include "support/TempDir.h"

namespace {

constexpr int64_t kSecondNs = 1'000'000'000;

struct stat StatOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(0, ::stat(path.c_str(), &info)) << path;
    return info;
}

int64_t Ns(const struct timespec& time) { return time.tv_sec * kSecondNs + time.tv_nsec; }

void SetMtime(const std::string& path, int64_t mtimeNs) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = mtimeNs / kSecondNs;
    times[1].tv_nsec = mtimeNs % kSecondNs;
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
}

// Overwrites the first bytes of a file in place (same inode, same size).
void Overwrite(const std::string& path, const std::string& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(fd, bytes.data(), bytes.size()));
    ::close(fd);
}

}  // namespace

// The clock the cache reads is the real one shifted by offsetNs, so a test can say "this
// identity was recorded long after the file last changed" without sleeping.
class MapVersionCacheTest : public ::testing::Test {
protected:
    std::string Map(const std::string& name,
                    const std::string& content = "<map><meta><version>3</version></meta></map>") {
        const std::string path = dir.File(name);
        WriteFile(path, content);
        return path;
    }

    // What a pass does for a map it has just parsed, some time after the map was last written.
    void RecordLate(const std::string& path, int version) {
        offsetNs = 10 * kSecondNs;
        cache.Remember(path.c_str(), version);
    }

    bool Lookup(const std::string& path, int& version) { return cache.Lookup(path.c_str(), version); }

    // Waits until a file written now gets later timestamps than path has, so that a change made
    // afterwards really shows in the times (they come from a coarse clock).
    void WaitForNextTimestamp(const std::string& path) {
        const struct stat before = StatOf(path);
        const std::string probe = dir.File(".probe");
        for (int attempt = 0; attempt < 5000; ++attempt) {
            WriteFile(probe, "x");
            const struct stat now = StatOf(probe);
            if (Ns(now.st_ctim) > Ns(before.st_ctim) && Ns(now.st_mtim) > Ns(before.st_mtim)) {
                ::unlink(probe.c_str());
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        FAIL() << "file timestamps did not advance";
    }

    TempDir dir;
    int64_t offsetNs = 0;
    CMapVersionCache cache{[this] { return CMapVersionCache::RealTimeNs() + offsetNs; }};
};

using MapVersionCacheChangeTest = MapVersionCacheTest;

TEST_F(MapVersionCacheTest, UnknownFileMisses) {
    const std::string path = Map("a.xml");
    int version = 77;
    EXPECT_FALSE(Lookup(path, version));
    EXPECT_EQ(77, version);
}

TEST_F(MapVersionCacheTest, UnchangedFileHitsWithItsVersion) {
    const std::string path = Map("a.xml");
    RecordLate(path, 3);
    int version = -1;
    ASSERT_TRUE(Lookup(path, version));
    EXPECT_EQ(3, version);
    ASSERT_TRUE(Lookup(path, version));
    EXPECT_EQ(3, version);
}

TEST_F(MapVersionCacheTest, RemembersNoVersionRecordButNotMissingFile) {
    const std::string unversioned = Map("plain.xml", "not xml");
    RecordLate(unversioned, -2);
    int version = 0;
    ASSERT_TRUE(Lookup(unversioned, version));
    EXPECT_EQ(-2, version);

    const std::string path = Map("a.xml");
    RecordLate(path, -1);
    EXPECT_EQ(1u, cache.Size());
    RecordLate(dir.File("absent.xml"), 4);
    EXPECT_EQ(1u, cache.Size());
}

TEST_F(MapVersionCacheTest, EntriesAreKeptPerPath) {
    const std::string a = Map("a.xml");
    const std::string b = Map("b.xml");
    RecordLate(a, 1);
    RecordLate(b, 2);
    int version = 0;
    ASSERT_TRUE(Lookup(a, version));
    EXPECT_EQ(1, version);
    ASSERT_TRUE(Lookup(b, version));
    EXPECT_EQ(2, version);
    cache.Forget(a.c_str());
    EXPECT_FALSE(Lookup(a, version));
    EXPECT_TRUE(Lookup(b, version));
}

TEST_F(MapVersionCacheChangeTest, ReplacedByRenameMisses) {
    const std::string path = Map("a.xml");
    RecordLate(path, 3);
    const struct stat old = StatOf(path);
    // Same size and same modification time: only the inode tells.
    const std::string replacement = Map("a.xml.new", "<map><meta><version>4</version></meta></map>");
    SetMtime(replacement, Ns(old.st_mtim));
    ASSERT_EQ(0, ::rename(replacement.c_str(), path.c_str()));
    int version = 0;
    EXPECT_FALSE(Lookup(path, version));
}

TEST_F(MapVersionCacheChangeTest, TruncatedMisses) {
    const std::string path = Map("a.xml");
    RecordLate(path, 3);
    ASSERT_EQ(0, ::truncate(path.c_str(), 10));
    int version = 0;
    EXPECT_FALSE(Lookup(path, version));
}

TEST_F(MapVersionCacheChangeTest, EditedInPlaceSameSizeMisses) {
    const std::string path = Map("a.xml");
    RecordLate(path, 3);
    WaitForNextTimestamp(path);
    Overwrite(path, "<map><meta><version>4");
    int version = 0;
    EXPECT_FALSE(Lookup(path, version));
}

TEST_F(MapVersionCacheChangeTest, EditWithModificationTimeRestoredMisses) {
    const std::string path = Map("a.xml");
    const int64_t mtime = Ns(StatOf(path).st_mtim);
    RecordLate(path, 3);
    WaitForNextTimestamp(path);
    // What a copy that preserves times does: same inode, same size, same modification time.
    Overwrite(path, "<map><meta><version>4");
    SetMtime(path, mtime);
    ASSERT_EQ(mtime, Ns(StatOf(path).st_mtim));
    int version = 0;
    EXPECT_FALSE(Lookup(path, version));
}

TEST_F(MapVersionCacheChangeTest, TouchedMisses) {
    const std::string path = Map("a.xml");
    RecordLate(path, 3);
    WaitForNextTimestamp(path);
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), nullptr, 0));
    int version = 0;
    EXPECT_FALSE(Lookup(path, version));
}

TEST_F(MapVersionCacheChangeTest, DeletedMissesAndIsDropped) {
    const std::string path = Map("a.xml");
    RecordLate(path, 3);
    ASSERT_EQ(0, ::unlink(path.c_str()));
    int version = 0;
    EXPECT_FALSE(Lookup(path, version));
    EXPECT_EQ(0u, cache.Size());
    // The same name created again is a new file, not the remembered one.
    Map("a.xml");
    EXPECT_FALSE(Lookup(path, version));
}

TEST_F(MapVersionCacheChangeTest, ChangeWhileBeingReadMisses) {
    const std::string path = Map("a.xml");
    offsetNs = 10 * kSecondNs;
    const CMapVersionCache::Snapshot before = cache.Observe(path.c_str());
    WaitForNextTimestamp(path);
    Overwrite(path, "<map><meta><version>4");
    // The version read from the old content is recorded for the identity seen before reading.
    cache.Remember(path.c_str(), before, 3);
    int version = 0;
    EXPECT_FALSE(Lookup(path, version));
}

using MapVersionCacheRacyTest = MapVersionCacheTest;

TEST_F(MapVersionCacheRacyTest, FileRecordedRightAfterWritingIsReadAgainOnce) {
    const std::string path = Map("a.xml");
    // Recorded at once: a change within the same timestamp granule would keep the identity.
    cache.Remember(path.c_str(), 3);
    int version = 0;
    EXPECT_FALSE(Lookup(path, version));
    EXPECT_FALSE(Lookup(path, version));
    EXPECT_EQ(0, version);
    // Read again later, the same identity is now trusted.
    RecordLate(path, 3);
    ASSERT_TRUE(Lookup(path, version));
    EXPECT_EQ(3, version);
}

TEST_F(MapVersionCacheRacyTest, TrustedOnlyPastTheMargin) {
    const std::string path = Map("a.xml");
    const struct stat info = StatOf(path);
    const int64_t lastChange = std::max(Ns(info.st_ctim), Ns(info.st_mtim));
    CMapVersionCache::Snapshot snapshot = cache.Observe(path.c_str());
    int version = 0;

    snapshot.takenNs = lastChange + CMapVersionCache::kRacyMarginNs;
    cache.Remember(path.c_str(), snapshot, 3);
    EXPECT_FALSE(Lookup(path, version));

    snapshot.takenNs = lastChange + CMapVersionCache::kRacyMarginNs + 1;
    cache.Remember(path.c_str(), snapshot, 3);
    EXPECT_TRUE(Lookup(path, version));
}

TEST_F(MapVersionCacheRacyTest, FutureModificationTimeIsNeverTrusted) {
    const std::string path = Map("a.xml");
    SetMtime(path, CMapVersionCache::RealTimeNs() + 3600 * kSecondNs);
    RecordLate(path, 3);
    int version = 0;
    EXPECT_FALSE(Lookup(path, version));
}

using MapVersionCacheStateTest = MapVersionCacheTest;

TEST_F(MapVersionCacheStateTest, SavedStateAnswersAfterRestart) {
    const std::string a = Map("a.xml");
    const std::string odd = Map("name with spaces\nand a line break 7 8.xml");
    const std::string unversioned = Map("c.xml", "x");
    RecordLate(a, 12);
    RecordLate(odd, 2147483647);
    RecordLate(unversioned, -2);
    ASSERT_TRUE(cache.Save(dir.File("mapversions.dat")));

    CMapVersionCache restarted;
    ASSERT_TRUE(restarted.Load(dir.File("mapversions.dat")));
    EXPECT_EQ(3u, restarted.Size());
    EXPECT_FALSE(restarted.HasChanges());
    int version = 0;
    ASSERT_TRUE(restarted.Lookup(a.c_str(), version));
    EXPECT_EQ(12, version);
    ASSERT_TRUE(restarted.Lookup(odd.c_str(), version));
    EXPECT_EQ(2147483647, version);
    ASSERT_TRUE(restarted.Lookup(unversioned.c_str(), version));
    EXPECT_EQ(-2, version);
}

TEST_F(MapVersionCacheStateTest, FileChangedWhileStoppedMissesAfterLoad) {
    const std::string path = Map("a.xml");
    RecordLate(path, 3);
    ASSERT_TRUE(cache.Save(dir.File("mapversions.dat")));
    ASSERT_EQ(0, ::truncate(path.c_str(), 5));
    CMapVersionCache restarted;
    ASSERT_TRUE(restarted.Load(dir.File("mapversions.dat")));
    int version = 0;
    EXPECT_FALSE(restarted.Lookup(path.c_str(), version));
}

TEST_F(MapVersionCacheStateTest, FreshEntryStaysUntrustedAcrossRestart) {
    const std::string path = Map("a.xml");
    cache.Remember(path.c_str(), 3);
    ASSERT_TRUE(cache.Save(dir.File("mapversions.dat")));
    CMapVersionCache restarted;
    ASSERT_TRUE(restarted.Load(dir.File("mapversions.dat")));
    EXPECT_EQ(1u, restarted.Size());
    int version = 0;
    EXPECT_FALSE(restarted.Lookup(path.c_str(), version));
}

TEST_F(MapVersionCacheStateTest, AssumedVersionAnswersAtOnceAndAfterRestartUntilTheFileChanges) {
    const std::string path = Map("a.xml", "<map/>");
    cache.RememberAssumed(path.c_str(), 4);  // just written: no racy-margin wait for it
    int version = 0;
    ASSERT_TRUE(Lookup(path, version));
    EXPECT_EQ(4, version);
    ASSERT_TRUE(cache.Save(dir.File("mapversions.dat")));
    CMapVersionCache restarted;
    ASSERT_TRUE(restarted.Load(dir.File("mapversions.dat")));
    ASSERT_TRUE(restarted.Lookup(path.c_str(), version));
    EXPECT_EQ(4, version);
    WaitForNextTimestamp(path);
    WriteFile(path, "<map/>");
    EXPECT_FALSE(restarted.Lookup(path.c_str(), version));
}

TEST_F(MapVersionCacheStateTest, StateOfTheEarlierFormatStillLoads) {
    const std::string path = Map("a.xml");
    RecordLate(path, 3);
    ASSERT_TRUE(cache.Save(dir.File("mapversions.dat")));
    // The earlier format: no flag after the version, and its own header.
    std::string text = ReadFile(dir.File("mapversions.dat"));
    const std::size_t entry = text.find('\n') + 1;
    ASSERT_EQ("3 0 ", text.substr(entry, 4));
    text = "mapversions 1\n" + text.substr(entry, 2) + text.substr(entry + 4);
    text.erase(text.rfind("end "));
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    char trailer[64];
    std::snprintf(trailer, sizeof trailer, "end 1 %016llx\n", static_cast<unsigned long long>(hash));
    WriteFile(dir.File("mapversions.dat"), text + trailer);

    CMapVersionCache restarted;
    ASSERT_TRUE(restarted.Load(dir.File("mapversions.dat")));
    int version = 0;
    ASSERT_TRUE(restarted.Lookup(path.c_str(), version));
    EXPECT_EQ(3, version);
}

TEST_F(MapVersionCacheStateTest, CorruptStateIsIgnored) {
    const std::string path = Map("a.xml");
    RecordLate(path, 3);
    const std::string state = dir.File("mapversions.dat");
    ASSERT_TRUE(cache.Save(state));
    const std::string good = ReadFile(state);

    // The entry's version 3 becomes 4: only the checksum tells.
    const std::size_t firstEntry = good.find('\n') + 1;
    ASSERT_EQ('3', good[firstEntry]);
    std::string flipped = good;
    flipped[firstEntry] = '4';
    const std::string damaged[] = {"", "garbage\n", good.substr(0, good.size() - 1),
                                   good.substr(0, good.find('\n') + 1) + good.substr(good.rfind("end ")), flipped};
    for (const std::string& text : damaged) {
        WriteFile(state, text);
        CMapVersionCache restarted;
        restarted.Remember(path.c_str(), 9);
        EXPECT_FALSE(restarted.Load(state)) << text;
        EXPECT_EQ(0u, restarted.Size()) << text;
    }
    CMapVersionCache restarted;
    EXPECT_FALSE(restarted.Load(dir.File("absent.dat")));
    // A FIFO of that name would block a plain open for reading.
    ASSERT_EQ(0, ::mkfifo(dir.File("fifo.dat").c_str(), 0644));
    EXPECT_FALSE(restarted.Load(dir.File("fifo.dat")));
}

TEST_F(MapVersionCacheStateTest, SaveReplacesAtomicallyAndTracksChanges) {
    const std::string path = Map("a.xml");
    const std::string state = dir.File("mapversions.dat");
    EXPECT_FALSE(cache.HasChanges());
    RecordLate(path, 3);
    EXPECT_TRUE(cache.HasChanges());
    ASSERT_TRUE(cache.Save(state));
    EXPECT_FALSE(cache.HasChanges());
    int version = 0;
    ASSERT_TRUE(Lookup(path, version));
    EXPECT_FALSE(cache.HasChanges());

    RecordLate(path, 4);
    ASSERT_TRUE(cache.Save(state));
    EXPECT_EQ((std::vector<std::string>{"a.xml", "mapversions.dat"}), dir.List());
    CMapVersionCache restarted;
    ASSERT_TRUE(restarted.Load(state));
    ASSERT_TRUE(restarted.Lookup(path.c_str(), version));
    EXPECT_EQ(4, version);

    cache.Forget(path.c_str());
    EXPECT_TRUE(cache.HasChanges());
    EXPECT_FALSE(cache.Save(dir.File("no/such/dir/mapversions.dat")));
    EXPECT_EQ(ENOENT, cache.SaveError());
    EXPECT_TRUE(cache.HasChanges());
    EXPECT_EQ((std::vector<std::string>{"a.xml", "mapversions.dat"}), dir.List());
}
