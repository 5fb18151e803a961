#ifndef MAD_APP_CSERVICENOTIFIER_H
#define MAD_APP_CSERVICENOTIFIER_H

#include <condition_variable>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "app/CPassResult.h"

// Tells systemd how the service is doing, through the socket NOTIFY_SOCKET names: readiness,
// a status line, a stop in progress, and, when WATCHDOG_USEC is set, the watchdog's keep-alive.
// Without NOTIFY_SOCKET every call does nothing. The keep-alive comes from a thread of its own,
// every quarter of the watchdog period, but only while the program shows a sign of life
// (LastSignOfLife): a program that hangs stops feeding the watchdog and systemd restarts it.
// The thread is joined on destruction.
class CServiceNotifier {
public:
    CServiceNotifier();
    ~CServiceNotifier();
    CServiceNotifier(const CServiceNotifier&) = delete;
    CServiceNotifier& operator=(const CServiceNotifier&) = delete;

    void Ready();
    void Status(const std::string& text);
    void Stopping();

    // "Last pass 07:00:05: 3 updated, 0 failed, 120 up to date" for a pass that ended at endedAt
    // (local time); a feed that failed is named instead of the counts.
    static std::string PassStatus(const CPassResult& pass, std::time_t endedAt);

private:
    void Notify(const std::string& message);
    void FeedWatchdog(long long periodMs);

    bool m_bEnabled = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bQuit = false;
    std::thread m_watchdog;
};

#endif
