#ifndef MAD_APP_EXITSTATUS_H
#define MAD_APP_EXITSTATUS_H

// The program's exit statuses, as its usage text and README document them.
namespace ExitStatus {
constexpr int kSuccess = 0;
constexpr int kConfigurationError = 1;
constexpr int kUsageError = 2;
// Run-once mode only: the pass did not bring every map up to date.
constexpr int kPassIncomplete = 3;
// Dry run only: a pass would download at least one map.
constexpr int kWouldDownload = 4;
}  // namespace ExitStatus

#endif
