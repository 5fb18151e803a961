#include "app/Utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

struct timeval g_tvInitialTime = {0, 0};

namespace {

// Set by a handler on whichever thread takes the signal, read by every thread.
std::atomic<bool> g_bStopRequested{false};
std::atomic<bool> g_bReloadRequested{false};
std::atomic<bool> g_bPassRequested{false};
std::atomic<long long> g_lastSignOfLife{0};
static_assert(std::atomic<bool>::is_always_lock_free, "safe to set from a signal handler");

void OnStopSignal(int) { g_bStopRequested.store(true); }

void OnReloadSignal(int) { g_bReloadRequested.store(true); }

void OnPassSignal(int) { g_bPassRequested.store(true); }

void Handle(int signalNumber, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the run loop's sleep ends at once; the network waits retry with their
    // remaining time.
    sigaction(signalNumber, &action, nullptr);
}

// The console's quiet mode and the open line it holds back; one lock, as any thread may print.
std::mutex g_consoleMutex;
bool g_bQuiet = false;
std::string g_heldLine;
// Under journald: the line printed in part, and the worst severity of its pieces.
std::string g_openLine;
Severity g_openSeverity = Severity::Info;
// A progress line stands on standard error; the last text on standard output left its line open.
bool g_bProgressShown = false;
bool g_bOutputLineOpen = false;

// Erases the progress line; the console lock is held.
void ClearProgressLocked() {
    if (!g_bProgressShown) return;
    fputs("\r\033[K", stderr);
    fflush(stderr);
    g_bProgressShown = false;
}

const char* Priority(Severity severity) {
    switch (severity) {
    case Severity::Error:
        return "<3>";
    case Severity::Warning:
        return "<4>";
    case Severity::Info:
        break;
    }
    return "<6>";
}

Severity Worse(Severity a, Severity b) { return static_cast<int>(a) < static_cast<int>(b) ? a : b; }

void WriteOut(const std::string& text) {
    ClearProgressLocked();
    if (!text.empty()) g_bOutputLineOpen = text.back() != '\n';
    fputs(text.c_str(), stdout);
    fflush(stdout);
}

// A line left open when the process ends is written as it is; journald takes it at the end of
// the stream. Registered once, before the first open line, with the console lock free.
void WriteOpenLine() {
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    if (!g_openLine.empty()) WriteOut(Priority(g_openSeverity) + g_openLine);
    g_openLine.clear();
}

bool StandardOutputIsJournal() {
    static const bool journal = [] {
        const bool named = IsJournalStream(STDOUT_FILENO);
        if (named) atexit(WriteOpenLine);
        return named;
    }();
    return journal;
}

// Writes text that passed the quiet filter; the console lock is held.
void Emit(Severity severity, const std::string& text) {
    if (!StandardOutputIsJournal()) {
        WriteOut(text);
        return;
    }
    g_openLine += text;
    g_openSeverity = Worse(g_openSeverity, severity);
    std::string lines;
    std::size_t start = 0;
    for (std::size_t end; (end = g_openLine.find('\n', start)) != std::string::npos; start = end + 1) {
        lines += Priority(g_openSeverity);
        lines.append(g_openLine, start, end + 1 - start);
        // The lines after the first are this text's own.
        g_openSeverity = severity;
    }
    g_openLine.erase(0, start);
    if (g_openLine.empty()) g_openSeverity = Severity::Info;
    if (!lines.empty()) WriteOut(lines);
}

// A character of a text in UTF-8 (a title as the feed reader hands it over, whatever the feed's
// declared encoding, or a message that may quote a server or a document).
struct TextCharacter {
    std::size_t length;
    // Printed as it is.
    bool safe;
};

// Characters that are invisible or steer the terminal or the reading order: a terminal's control
// sequence introducer (U+009B), line breaks for some log viewers (U+0085, U+2028, U+2029), and the
// bidirectional embeddings, overrides and isolates, which can make "evil\u202egnp.map" show as
// "evilpam.png".
bool IsHiddenControl(char32_t code) {
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069) || code == 0x2028 || code == 0x2029;
}

// The character at text (not at its end). Bytes that are not UTF-8 (a stray continuation, a
// sequence cut short, an overlong form, a surrogate, beyond U+10FFFF) come back unsafe, as many as
// belong to the broken sequence.
TextCharacter NextTextCharacter(const char* text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t length = 1;
    char32_t code = bytes[0];
    char32_t shortest = 0;
    if (bytes[0] >= 0xC2 && bytes[0] <= 0xDF) {
        length = 2;
        code &= 0x1F;
        shortest = 0x80;
    } else if ((bytes[0] & 0xF0) == 0xE0) {
        length = 3;
        code &= 0x0F;
        shortest = 0x800;
    } else if (bytes[0] >= 0xF0 && bytes[0] <= 0xF4) {
        length = 4;
        code &= 0x07;
        shortest = 0x10000;
    } else if (bytes[0] >= 0x80) {
        return {1, false};
    }
    for (std::size_t i = 1; i < length; ++i) {
        // The terminating zero is no continuation byte, so a cut sequence stops here.
        if ((bytes[i] & 0xC0) != 0x80) return {i, false};
        code = (code << 6) | (bytes[i] & 0x3F);
    }
    const bool valid = code >= shortest && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    return {length, valid && !IsHiddenControl(code)};
}

}  // namespace

std::string PrintableText(const std::string& text) {
    std::string printable;
    const char* const end = text.c_str() + text.size();
    for (const char* p = text.c_str(); p < end;) {
        const TextCharacter character = NextTextCharacter(p);
        if (character.safe) {
            printable.append(p, character.length);
        } else {
            for (std::size_t i = 0; i < character.length; ++i) {
                char escaped[5];
                snprintf(escaped, sizeof(escaped), "\\x%02x", static_cast<unsigned char>(p[i]));
                printable += escaped;
            }
        }
        p += character.length;
    }
    return printable;
}

bool IsJournalStream(int fd) {
    const char* const named = getenv("JOURNAL_STREAM");
    if (!named) return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    int consumed = 0;
    if (sscanf(named, "%llu:%llu%n", &device, &inode, &consumed) != 2 || named[consumed] != '\0') return false;
    struct stat status;
    return fstat(fd, &status) == 0 && static_cast<unsigned long long>(status.st_dev) == device &&
           static_cast<unsigned long long>(status.st_ino) == inode;
}

void PrintToStandardError(Severity severity, const std::string& text) {
    static const bool journal = IsJournalStream(STDERR_FILENO);
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    ClearProgressLocked();
    if (!journal) {
        fputs(text.c_str(), stderr);
    } else {
        std::string lines;
        for (std::size_t start = 0; start < text.size();) {
            std::size_t end = text.find('\n', start);
            end = end == std::string::npos ? text.size() : end + 1;
            lines += Priority(severity);
            lines.append(text, start, end - start);
            start = end;
        }
        fputs(lines.c_str(), stderr);
    }
    fflush(stderr);
}

bool ProgressLineWanted() {
    static const bool terminal = isatty(STDERR_FILENO) == 1;
    return terminal;
}

void ShowProgressLine(const std::string& text) {
    if (!ProgressLineWanted()) return;
    static const bool outputIsTerminal = isatty(STDOUT_FILENO) == 1;
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    // On a shared terminal the progress would land in the middle of the open line.
    if (outputIsTerminal && g_bOutputLineOpen) return;
    fputs(("\r\033[K" + text).c_str(), stderr);
    fflush(stderr);
    g_bProgressShown = true;
}

void ClearProgressLine() {
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    ClearProgressLocked();
}

void OpenStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is fd itself, since the ones below it are open by now.
        int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        // Without /dev (a bare chroot) a directory holds the number: writing to it fails, as to a
        // closed descriptor.
        if (opened < 0) opened = open("/", O_RDONLY | O_DIRECTORY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

void InstallStopHandlers() {
    // What a parent left survives exec. With SIGCHLD ignored the kernel reaps each hook itself and
    // its exit status is lost, so a failed hook would read as a success; a blocked stop, reload or
    // pass signal would never arrive.
    signal(SIGCHLD, SIG_DFL);
    sigset_t handled;
    sigemptyset(&handled);
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&handled, signalNumber);
    sigprocmask(SIG_UNBLOCK, &handled, nullptr);
    Handle(SIGTERM, OnStopSignal);
    Handle(SIGINT, OnStopSignal);
    // As daemons do: systemctl reload sends SIGHUP.
    Handle(SIGHUP, OnReloadSignal);
    Handle(SIGUSR1, OnPassSignal);
    // A log pipe that went away must not kill the daemon: the write fails and it goes on. Past a
    // file-size limit a write fails with EFBIG and is reported like a full disk.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

bool StopRequested() {
    g_lastSignOfLife.store(MonotonicMs(), std::memory_order_relaxed);
    return g_bStopRequested.load();
}

bool TakeReloadRequest() { return g_bReloadRequested.exchange(false); }

bool TakePassRequest() { return g_bPassRequested.exchange(false); }

long long LastSignOfLife() { return g_lastSignOfLife.load(std::memory_order_relaxed); }

long long MonotonicMs() {
    // The coarse clock is read without a system call; its few milliseconds of grain do not matter.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void InitializeTime() { gettimeofday(&g_tvInitialTime, nullptr); }

unsigned int GetTime() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    // Unsigned arithmetic: the count wraps instead of overflowing.
    const unsigned int seconds = static_cast<unsigned int>(now.tv_sec - g_tvInitialTime.tv_sec);
    const long microseconds = now.tv_usec - g_tvInitialTime.tv_usec;
    return seconds * 1000u + static_cast<unsigned int>(microseconds / 1000);
}

bool InitializeSockets() { return true; }

bool CleanupSockets() { return true; }

void WaitBeforeExiting() {}

void SetQuiet(bool quiet) {
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    g_bQuiet = quiet;
    g_heldLine.clear();
}

void PrintText(Severity severity, const std::string& text) {
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    if (!g_bQuiet) {
        Emit(severity, text);
        return;
    }
    if (severity == Severity::Info) {
        // Only the part after the last line end can still be completed by a problem.
        g_heldLine += text;
        const std::size_t lineEnd = g_heldLine.rfind('\n');
        if (lineEnd != std::string::npos) g_heldLine.erase(0, lineEnd + 1);
        return;
    }
    Emit(severity, g_heldLine + text);
    g_heldLine.clear();
}

void PrintMessage(Severity severity, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) vsnprintf(&text[0], text.size() + 1, format, arguments);
    va_end(arguments);
    PrintText(severity, text);
}

std::string Format(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) vsnprintf(&text[0], text.size() + 1, format, arguments);
    va_end(arguments);
    return text;
}
