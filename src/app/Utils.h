#ifndef MAD_APP_UTILS_H
#define MAD_APP_UTILS_H

#include <sys/time.h>
#include <string>

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

// Opens /dev/null on each of standard input, output and error that the parent left closed, before
// anything else is opened: the next file or connection would otherwise take that number, and the
// log printed to standard output would be written into a map or a request.
void OpenStandardStreams();

// Signals. Each handler only sets a flag. A supervisor's SIGTERM or an operator's Ctrl-C (SIGINT)
// is a stop request: the download in progress ends the normal way, so its temporary file is
// renamed or removed and no half-written file stays behind, and then the run loop returns. SIGHUP
// asks the run loop to read its configuration again between passes, SIGUSR1 to run a pass at its
// next tick. SIGPIPE and SIGXFSZ are ignored, so the failing write is reported instead of killing
// the process. SIGCHLD gets its default action and the handled signals are unblocked, whatever the
// parent left. Called before any thread starts, so every thread has this mask.
void InstallStopHandlers();
// Every wait of the program (the run loop's tick, the network waits, long reads, hooks) asks at
// least every second, so asking is also the program's sign of life: the service watchdog is fed
// only while some thread keeps asking, and a hung program stops feeding it.
bool StopRequested();
// Each answers whether its signal came since the last call, and clears the request.
bool TakeReloadRequest();
bool TakePassRequest();
// Milliseconds on the monotonic clock (MonotonicMs) of the last StopRequested call.
long long LastSignOfLife();
long long MonotonicMs();

// How much a printed text matters to the operator: Error for a failure (an error line, a
// configuration error), Warning for a map skipped or refused or a version that could not be
// recorded, Info for everything else. A text is the rest of a line or several whole lines; a line
// takes the severity of the text that starts it.
enum class Severity { Error, Warning, Info };

// Quiet mode prints only Error and Warning texts. An Info text that leaves its line open (the
// head "Downloading x... ") is held back until the line's end comes: printed with it when that
// end is an Error or Warning ("Failed\nError downloading x: ..."), dropped otherwise.
void SetQuiet(bool quiet);

// Prints text to standard output and flushes it, so every message reaches a pipe or a log at once.
// When standard output is the journal's stream, each line starts with the syslog priority of its
// worst piece ("<3>" Error, "<4>" Warning, "<6>" Info), which journald reads and removes; a line
// printed in pieces is held until its end, so its priority is known before its start is written.
// What a priority of warning or worse selects is then what quiet mode prints.
void PrintText(Severity severity, const std::string& text);
// Prints whole lines to standard error and flushes it, each line prefixed with the priority as
// above when standard error is the journal's stream.
void PrintToStandardError(Severity severity, const std::string& text);
// True when JOURNAL_STREAM ("<device>:<inode>", decimal, set by systemd) names the file open on
// fd: the stream journald reads.
bool IsJournalStream(int fd);
// The live progress line on standard error, only when standard error is a terminal: shown in place
// of the one before, cleared before any output is written and by ClearProgressLine. Nothing is
// drawn while a line of standard output on a terminal is open.
bool ProgressLineWanted();
void ShowProgressLine(const std::string& text);
void ClearProgressLine();
// text as it may be printed, or handed on to a hook or the service manager, when it comes from
// elsewhere (a feed's title, a server's reason phrase, a parser's quote of a document): each byte
// of a control character (below 0x20, 0x7F, U+0080 to U+009F), a line or paragraph separator
// (U+2028, U+2029), a bidirectional embedding, override or isolate (U+202A to U+202E, U+2066 to
// U+2069), or of bytes that are not UTF-8, as \xHH; anything else as it is. So such a text cannot
// make up a line, steer a terminal or read backwards.
std::string PrintableText(const std::string& text);
// printf, then as PrintText.
void PrintMessage(Severity severity, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The text printf would print, as a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif
