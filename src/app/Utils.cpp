#include "app/Utils.h"

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <ctime>

struct timeval g_tvInitialTime = {0, 0};

namespace {

// Set by a handler on whichever thread takes the signal, read by every thread.
std::atomic<bool> g_bStopRequested{false};
std::atomic<bool> g_bReloadRequested{false};
std::atomic<bool> g_bPassRequested{false};
std::atomic<long long> g_lastSignOfLife{0};
static_assert(std::atomic<bool>::is_always_lock_free, "safe to set from a signal handler");

void OnStopSignal(int)
{
    g_bStopRequested.store(true);
}

void OnReloadSignal(int)
{
    g_bReloadRequested.store(true);
}

void OnPassSignal(int)
{
    g_bPassRequested.store(true);
}

void Handle(int signalNumber, void (*handler)(int))
{
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

}  // namespace

void InstallStopHandlers()
{
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

bool StopRequested()
{
    g_lastSignOfLife.store(MonotonicMs(), std::memory_order_relaxed);
    return g_bStopRequested.load();
}

bool TakeReloadRequest()
{
    return g_bReloadRequested.exchange(false);
}

bool TakePassRequest()
{
    return g_bPassRequested.exchange(false);
}

long long LastSignOfLife()
{
    return g_lastSignOfLife.load(std::memory_order_relaxed);
}

long long MonotonicMs()
{
    // The coarse clock is read without a system call; its few milliseconds of grain do not matter.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void InitializeTime()
{
    gettimeofday(&g_tvInitialTime, nullptr);
}

unsigned int GetTime()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    // Unsigned arithmetic: the count wraps instead of overflowing.
    const unsigned int seconds = static_cast<unsigned int>(now.tv_sec - g_tvInitialTime.tv_sec);
    const long microseconds = now.tv_usec - g_tvInitialTime.tv_usec;
    return seconds * 1000u + static_cast<unsigned int>(microseconds / 1000);
}

bool InitializeSockets()
{
    return true;
}

bool CleanupSockets()
{
    return true;
}

void WaitBeforeExiting()
{
}

void SetQuiet(bool quiet)
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    g_bQuiet = quiet;
    g_heldLine.clear();
}

void PrintText(Severity severity, const std::string& text)
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    if (!g_bQuiet) {
        fputs(text.c_str(), stdout);
        fflush(stdout);
        return;
    }
    if (severity == Severity::Info) {
        // Only the part after the last line end can still be completed by a problem.
        g_heldLine += text;
        const std::size_t lineEnd = g_heldLine.rfind('\n');
        if (lineEnd != std::string::npos)
            g_heldLine.erase(0, lineEnd + 1);
        return;
    }
    fputs((g_heldLine + text).c_str(), stdout);
    fflush(stdout);
    g_heldLine.clear();
}

void PrintMessage(Severity severity, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0)
        vsnprintf(&text[0], text.size() + 1, format, arguments);
    va_end(arguments);
    PrintText(severity, text);
}

std::string Format(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        vsnprintf(&text[0], text.size() + 1, format, arguments);
    va_end(arguments);
    return text;
}
