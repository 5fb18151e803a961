#ifndef MAD_APP_CPASSRESULT_H
#define MAD_APP_CPASSRESULT_H

#include <cstdint>
#include <string>
#include <vector>

// What one update pass decided and what became of it, as plain values: the summary lines, the
// exit status of a single pass and anything that reports on passes read it, never the console.
// Titles are in feed order.
struct CPassResult {
    // Maps replaced by this pass (a version that could not be stamped included).
    std::vector<std::string> updated;
    // Maps whose download failed; the old file stays.
    std::vector<std::string> failed;
    // Maps refused without a download (unsafe or too long a name or link, a file that is not a
    // readable regular file), as printed.
    std::vector<std::string> refused;
    // Maps found up to date. A count, not titles: a feed may list a million of them.
    unsigned int upToDate = 0;
    // Items of the feed the pass walked, ignored and held-back ones included.
    unsigned int listed = 0;
    // Maps a pass fetches now; a dry run counts those it would fetch.
    unsigned int planned = 0;
    // Maps the per-pass limit held back for the next pass.
    unsigned int heldBack = 0;
    // Bytes of the maps written.
    std::uint64_t bytes = 0;
    unsigned int durationMs = 0;
    // The text after "Error downloading RSS feed: " or "Error parsing RSS feed: "; empty when the
    // feed was read whole.
    std::string feedError;
    // A stop request ended the pass before its end.
    bool stopped = false;
    // Every map listed was brought up to date: no feed error, no failure, no refusal, no stop.
    // Held-back maps do not count against it.
    bool complete = false;
};

#endif
