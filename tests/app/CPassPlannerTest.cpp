#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/CPassPlanner.h"

namespace {

using Kind = CPassPlanner::Decision::Kind;

// A disk told by the test what each map path holds.
class TableDisk : public CPassPlanner::Disk {
public:
    bool IsWorkingDirectory(const char*) override { return saveIsWorkingDirectory; }
    CInputFile::Status Check(const char* path, int& error) override {
        error = errorNumber;
        if (status != CInputFile::Status::Missing) return status;
        return versions.count(path) ? CInputFile::Status::Regular : CInputFile::Status::Missing;
    }
    int MapVersion(const std::string& path, int& error) override {
        error = errorNumber;
        read.push_back(path);
        const auto found = versions.find(path);
        return found == versions.end() ? CPassPlanner::kNoFile : found->second;
    }

    bool saveIsWorkingDirectory = false;
    CInputFile::Status status = CInputFile::Status::Missing;
    int errorNumber = 0;
    std::map<std::string, int> versions;
    std::vector<std::string> read;
};

CFeedReader::Item MakeItem(const std::string& title, unsigned int version, const std::string& link = "http://h/m") {
    CFeedReader::Item item;
    snprintf(item.title, sizeof(item.title), "%s", title.c_str());
    snprintf(item.link, sizeof(item.link), "%s", link.c_str());
    item.version = version;
    return item;
}

const std::vector<char*> kIgnored = {const_cast<char*>("skip.map")};
const std::string kSave = "/srv/maps";

}  // namespace

// Each row: one item against one disk state. The text is a refusal's line, or a fetch's console
// head and dry-run line.
TEST(PassPlannerTest, DecidesEachMapFromTheFeedAndTheDisk) {
    constexpr int kAbsent = CPassPlanner::kNoFile;
    struct Row {
        const char* what;
        std::string title;
        unsigned int feedVersion;
        int local;
        Kind kind;
        std::string text;
        std::string link = "http://h/m";
        CInputFile::Status status = CInputFile::Status::Missing;
        bool saveIsWorkingDirectory = false;
    };
    const std::string longName(255, 'n');
    const std::vector<Row> rows = {
        {"ignored in any case", "SKIP.MAP", 1, kAbsent, Kind::Ignored, ""},
        {"path separator", "../x.map", 1, kAbsent, Kind::Refused, "Skipping map with an unsafe name: ../x.map\n"},
        {"dot", ".", 1, kAbsent, Kind::Refused, "Skipping map with an unsafe name: .\n"},
        {"control bytes escaped", "a\x1b[2J\nb", 1, kAbsent, Kind::Refused,
         "Skipping map with an unsafe name: a\\x1b[2J\\x0ab\n"},
        {"own file in the working directory", "Config.XML", 1, kAbsent, Kind::Refused,
         "Skipping map with an unsafe name: Config.XML\n", "http://h/m", CInputFile::Status::Missing, true},
        {"own file name elsewhere", "config.xml", 1, kAbsent, Kind::Fetch,
         "Downloading config.xml... |Would download config.xml\n"},
        {"name too long", longName, 1, kAbsent, Kind::Refused,
         "Skipping map with a name or path that is too long: " + longName + "\n"},
        {"not a regular file", "a.map", 1, kAbsent, Kind::Refused, "Skipping map that is not a regular file: a.map\n",
         "http://h/m", CInputFile::Status::NotRegular},
        {"unreadable", "a.map", 1, kAbsent, Kind::Refused, "Cannot read map a.map: Permission denied\n", "http://h/m",
         CInputFile::Status::Unreadable},
        {"missing", "a.map", 2, kAbsent, Kind::Fetch, "Downloading a.map... |Would download a.map\n"},
        {"older", "a.map", 4, 3, Kind::Fetch,
         "Updating a.map from version 3 to version 4... |Would update a.map from version 3 to version 4\n"},
        {"no version record", "a.map", 4, CPassPlanner::kNoVersionRecord, Kind::Fetch,
         "Version info not found in a.map, downloading again... |Would download a.map again, version info not found\n"},
        {"same version", "a.map", 4, 4, Kind::UpToDate, ""},
        {"newer on disk", "a.map", 4, 5, Kind::UpToDate, ""},
        {"feed version 0 against 0", "a.map", 0, 0, Kind::UpToDate, ""},
        {"stop cut the read short", "a.map", 4, CPassPlanner::kStopped, Kind::Stopped, ""},
        {"there but cannot be opened", "a.map", 4, CPassPlanner::kCannotRead, Kind::Refused,
         "Cannot read map a.map: Permission denied\n"},
        {"link too long, map needed", "a.map", 4, 3, Kind::Refused,
         "Skipping map with a link that is too long: a.map\n", std::string(255, 'l')},
        {"link too long, map current", "a.map", 4, 4, Kind::UpToDate, "", std::string(255, 'l')},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TableDisk disk;
        disk.status = row.status;
        disk.errorNumber = EACCES;
        disk.saveIsWorkingDirectory = row.saveIsWorkingDirectory;
        if (row.local != kAbsent) disk.versions[kSave + "/" + row.title] = row.local;
        CPassPlanner planner(kSave, kIgnored, 0);
        const CPassPlanner::Decision decision = planner.Decide(MakeItem(row.title, row.feedVersion, row.link), disk);
        EXPECT_EQ(row.kind, decision.kind);
        if (decision.kind == Kind::Fetch) {
            EXPECT_EQ(row.text,
                      CPassPlanner::DownloadHead(decision.fetch) + "|" + CPassPlanner::DryRunLine(decision.fetch));
            EXPECT_EQ(kSave + "/" + row.title, decision.fetch.mapPath);
            EXPECT_EQ(row.link, decision.fetch.link);
        } else {
            EXPECT_EQ(row.text, decision.line);
        }
        // A map that cannot be read is an error; one skipped, a warning.
        if (decision.kind == Kind::Refused) {
            EXPECT_EQ(row.text.rfind("Cannot", 0) == 0 ? Severity::Error : Severity::Warning, decision.severity);
        }
        // Only a map whose name passed every check is ever read.
        const bool reads = row.kind == Kind::Fetch || row.kind == Kind::UpToDate || row.kind == Kind::Stopped ||
                           row.local == CPassPlanner::kCannotRead || row.text.find("link") != std::string::npos;
        EXPECT_EQ(reads ? 1u : 0u, disk.read.size());
    }
}

TEST(PassPlannerTest, PerPassLimitCountsOnlyMapsToFetch) {
    TableDisk disk;
    disk.versions[kSave + "/current.map"] = 7;
    CPassPlanner planner(kSave, kIgnored, 2);
    std::vector<Kind> kinds;
    for (const char* title : {"a.map", "current.map", "skip.map", "b.map", "c.map", "d.map"})
        kinds.push_back(planner.Decide(MakeItem(title, 7), disk).kind);
    EXPECT_EQ(
        (std::vector<Kind>{Kind::Fetch, Kind::UpToDate, Kind::Ignored, Kind::Fetch, Kind::HeldBack, Kind::HeldBack}),
        kinds);
    EXPECT_EQ(2u, planner.HeldBack());

    CPassPlanner unlimited(kSave, kIgnored, 0);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(Kind::Fetch, unlimited.Decide(MakeItem("m" + std::to_string(i), 1), disk).kind);
    EXPECT_EQ(0u, unlimited.HeldBack());
}
