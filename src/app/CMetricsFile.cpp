#include "app/CMetricsFile.h"

#include <cinttypes>

#include "app/Utils.h"
#include "fs/CAtomicFile.h"

namespace {

// One metric family: its HELP and TYPE lines, then its samples (name, optional labels, value).
void Family(std::string& text, const char* name, const char* type, const char* help) {
    text += Format("# HELP mapautodownloader_%s %s\n# TYPE mapautodownloader_%s %s\n", name, help, name, type);
}

void Sample(std::string& text, const char* name, std::uint64_t value, const char* labels = "") {
    text += Format("mapautodownloader_%s%s %" PRIu64 "\n", name, labels, value);
}

}  // namespace

CMetricsFile::CMetricsFile(std::string path) : m_path(std::move(path)) {}

void CMetricsFile::MoveTo(std::string path) {
    m_path = std::move(path);
    // A failure at the new place is news, even with the old place's reason.
    m_lastError = 0;
}

void CMetricsFile::Record(const CPassResult& pass, std::time_t endedAt) {
    m_lastPassAt = endedAt;
    m_lastPassComplete = pass.complete;
    m_lastPassSeconds = pass.durationMs / 1000.0;
    if (pass.complete) {
        m_lastCompletePassAt = endedAt;
        ++m_completePasses;
    } else {
        ++m_incompletePasses;
    }
    // A feed that was not read whole says nothing about how many maps it lists.
    if (pass.feedError.empty() && !pass.stopped) m_mapsListed = pass.listed;
    m_mapsCurrent = pass.upToDate + static_cast<unsigned int>(pass.updated.size());
    m_mapsDownloaded += pass.updated.size();
    m_mapFailures += pass.failed.size() + pass.refused.size();
    m_bytes += pass.bytes;
    if (!pass.feedError.empty()) ++m_feedFailures;
}

std::string CMetricsFile::Text() const {
    std::string text;
    Family(text, "last_pass_timestamp_seconds", "gauge",
           "When the last pass ended, in Unix seconds; 0 before the first.");
    Sample(text, "last_pass_timestamp_seconds", static_cast<std::uint64_t>(m_lastPassAt));
    Family(text, "last_pass_complete", "gauge", "1 when the last pass brought every listed map up to date, else 0.");
    Sample(text, "last_pass_complete", m_lastPassComplete ? 1 : 0);
    Family(text, "last_pass_duration_seconds", "gauge", "How long the last pass took.");
    text += Format("mapautodownloader_last_pass_duration_seconds %.3f\n", m_lastPassSeconds);
    Family(text, "last_complete_pass_timestamp_seconds", "gauge",
           "When the last complete pass ended, in Unix seconds; 0 before the first.");
    Sample(text, "last_complete_pass_timestamp_seconds", static_cast<std::uint64_t>(m_lastCompletePassAt));
    Family(text, "passes_total", "counter", "Passes since start, by whether they brought every map up to date.");
    Sample(text, "passes_total", m_completePasses, "{result=\"complete\"}");
    Sample(text, "passes_total", m_incompletePasses, "{result=\"incomplete\"}");
    Family(text, "maps_listed", "gauge", "Items in the last feed that was read whole.");
    Sample(text, "maps_listed", m_mapsListed);
    Family(text, "maps_current", "gauge", "Maps the last pass found or left up to date.");
    Sample(text, "maps_current", m_mapsCurrent);
    Family(text, "maps_downloaded_total", "counter", "Maps downloaded and put in place since start.");
    Sample(text, "maps_downloaded_total", m_mapsDownloaded);
    Family(text, "map_failures_total", "counter", "Maps that failed to download or were refused, since start.");
    Sample(text, "map_failures_total", m_mapFailures);
    Family(text, "downloaded_bytes_total", "counter", "Bytes of the maps put in place since start.");
    Sample(text, "downloaded_bytes_total", m_bytes);
    Family(text, "feed_failures_total", "counter", "Passes whose feed could not be fetched or parsed, since start.");
    Sample(text, "feed_failures_total", m_feedFailures);
    return text;
}

bool CMetricsFile::Write() {
    const std::string text = Text();
    // Only read back by scrapers: losing the last version to a power cut costs nothing.
    CAtomicFile file(m_path, CAtomicFile::Sync::Fast);
    file.SetMode(0644);
    if (file.Open() && file.Write(text.data(), text.size()) && file.Commit()) {
        m_lastError = 0;
        return true;
    }
    if (file.Error() != m_lastError)
        PrintMessage(Severity::Error, "Unable to write the metrics file %s: %s\n", m_path.c_str(),
                     file.ErrorText().c_str());
    m_lastError = file.Error();
    return false;
}
