#ifndef MAD_APP_CMETRICSFILE_H
#define MAD_APP_CMETRICSFILE_H

#include <cstdint>
#include <ctime>
#include <string>

#include "app/CPassResult.h"

// The passes of this process as metrics in the Prometheus text exposition format, kept in one
// file that a scraper or node_exporter's textfile collector reads. Counters count since this
// object was made; timestamps are Unix seconds. The file is replaced whole (mode 0644) on every
// Write, so a reader never sees half of it.
class CMetricsFile {
public:
    explicit CMetricsFile(std::string path);

    // Adds a pass that ended at endedAt.
    void Record(const CPassResult& pass, std::time_t endedAt);
    // Every metric with its HELP and TYPE lines.
    std::string Text() const;
    // Writes Text() to the file. A failure is printed once, and again only after a write succeeded
    // or the reason changed; it never stops anything.
    bool Write();
    // Writes to path from now on (after a reload named another file); the counters go on.
    void MoveTo(std::string path);
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    int m_lastError = 0;

    std::time_t m_lastPassAt = 0;
    bool m_lastPassComplete = false;
    double m_lastPassSeconds = 0;
    std::time_t m_lastCompletePassAt = 0;
    std::uint64_t m_completePasses = 0;
    std::uint64_t m_incompletePasses = 0;
    unsigned int m_mapsListed = 0;
    unsigned int m_mapsCurrent = 0;
    std::uint64_t m_mapsDownloaded = 0;
    std::uint64_t m_mapFailures = 0;
    std::uint64_t m_bytes = 0;
    std::uint64_t m_feedFailures = 0;
};

#endif
