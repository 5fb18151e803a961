#ifndef MAD_APP_UTILS_H
#define MAD_APP_UTILS_H

#include <string>
#include <sys/time.h>

// The process clock and the platform hooks of the downloader.

// Origin of GetTime, set once at start-up by InitializeTime.
extern struct timeval g_tvInitialTime;

// Records the current time of day as the clock's origin.
void InitializeTime();
// Milliseconds since InitializeTime as an unsigned 32-bit count. It wraps after about 49.7 days;
// callers only subtract two readings, which stays correct across the wrap.
unsigned int GetTime();

// Socket start-up and clean-up hooks: nothing to do on this platform; both return true.
bool InitializeSockets();
bool CleanupSockets();
// Called just before a configuration error ends the process; does nothing here.
void WaitBeforeExiting();

// Stop requests. A supervisor's SIGTERM, an operator's Ctrl-C (SIGINT) or a hang-up (SIGHUP) only
// sets a flag: the download in progress ends the normal way, so its temporary file is renamed or
// removed and no half-written file stays behind, and then the run loop returns. SIGPIPE and
// SIGXFSZ are ignored, so the failing write is reported instead of killing the process.
void InstallStopHandlers();
bool StopRequested();

// printf to standard output followed by a flush, so every message reaches a pipe or a log at once.
void PrintMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The text printf would print, as a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif
