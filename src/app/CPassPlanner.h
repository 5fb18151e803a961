#ifndef MAD_APP_CPASSPLANNER_H
#define MAD_APP_CPASSPLANNER_H

#include <string>
#include <vector>

#include "app/CFeedReader.h"
#include "app/Utils.h"
#include "fs/CInputFile.h"

// Decides, one feed item at a time and in feed order, what a pass does with each map: leave it
// (ignored or up to date), refuse it (with the line that says why), hold it back for the next pass,
// or fetch it. Touches nothing itself: everything it needs of the disk comes through Disk, so the
// pass can keep that view current (a map listed twice is judged by what the first download left)
// and tests can hand in a table. One planner per pass: it counts the pass's downloads against the
// per-pass limit. The save path and the ignored names are borrowed and must outlive it.
class CPassPlanner {
public:
    static constexpr unsigned int kMapPathSize = 512;
    static constexpr unsigned int kItemTextSize = 255;
    // The program's own files in the working directory, which no map may replace.
    static constexpr const char* kFeedFile = "autoupdate.xml";
    static constexpr const char* kConfigFile = "config.xml";
    // Which of the program's own files of the working directory (config.xml, autoupdate.xml,
    // mapversions.dat) name is, ignoring case as a file system may; null for none.
    static const char* OwnFileNamed(const char* name);

    // Map versions besides a version.
    static constexpr int kNoFile = -1;
    static constexpr int kNoVersionRecord = -2;
    // The read was cut short by a stop request: nothing is known, nothing is started.
    static constexpr int kStopped = -3;
    // The map is there but could not be opened or read (no descriptor left, an I/O error).
    static constexpr int kCannotRead = -4;

    // What the planner asks of the disk.
    class Disk {
    public:
        virtual ~Disk() = default;
        // Whether directory is the working directory, which holds the program's own files.
        virtual bool IsWorkingDirectory(const char* directory) = 0;
        virtual CInputFile::Status Check(const char* path, int& error) = 0;
        // The version recorded in the map at path once no download of it is in flight: a
        // version, kNoFile, kNoVersionRecord, kStopped, or kCannotRead with error the errno.
        virtual int MapVersion(const std::string& path, int& error) = 0;
    };

    // One map to fetch.
    struct Fetch {
        std::string title;
        std::string link;
        std::string mapPath;
        unsigned int feedVersion = 0;
        // What the disk held before: a version, kNoFile or kNoVersionRecord.
        int localVersion = kNoFile;
    };

    struct Decision {
        enum class Kind { Ignored, Stopped, UpToDate, Refused, HeldBack, Fetch };
        Kind kind = Kind::Ignored;
        // Refused: the line that says why, and how much it matters (a map that cannot be read is
        // an Error, one skipped a Warning).
        std::string line;
        Severity severity = Severity::Warning;
        // HeldBack and Fetch: the map.
        Fetch fetch;
        // Whether the pass says anything about this map, which ends the "Checking RSS feed... "
        // line first.
        bool Noted() const { return kind >= Kind::Refused; }
    };

    // downloadsPerUpdateMax: most maps fetched in this pass, 0 for no limit.
    CPassPlanner(const std::string& savePath, const std::vector<char*>& ignoredMaps, int downloadsPerUpdateMax);

    Decision Decide(const CFeedReader::Item& item, Disk& disk);
    unsigned int HeldBack() const { return m_uiHeldBack; }

    // The head of a fetch's console line, which its download's outcome completes.
    static std::string DownloadHead(const Fetch& fetch);
    // The line a dry run prints for a fetch.
    static std::string DryRunLine(const Fetch& fetch);

private:
    bool IsIgnored(const char* title) const;
    // config.xml, autoupdate.xml or the version memory of the working directory, reached through
    // the save path.
    bool IsProtectedFile(const char* title, Disk& disk) const;

    const std::string& m_strSavePath;
    const std::vector<char*>& m_vecIgnoredMaps;
    int m_iDownloadsPerUpdateMax;
    int m_iDownloads = 0;
    unsigned int m_uiHeldBack = 0;
};

#endif
