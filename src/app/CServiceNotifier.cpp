#include "app/CServiceNotifier.h"

#include <systemd/sd-daemon.h>
#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "app/Utils.h"

namespace {

// The run loop asks once a second between passes, so anything shorter would call an idle
// program hung.
constexpr long long kLongestQuietMs = 2000;

}  // namespace

CServiceNotifier::CServiceNotifier() {
    const char* socket = getenv("NOTIFY_SOCKET");
    m_bEnabled = socket && socket[0] != '\0';
    uint64_t periodUs = 0;
    if (m_bEnabled && sd_watchdog_enabled(0, &periodUs) > 0 && periodUs >= 4000) {
        const long long periodMs = static_cast<long long>(periodUs / 1000);
        m_watchdog = std::thread([this, periodMs] { FeedWatchdog(periodMs); });
    }
}

CServiceNotifier::~CServiceNotifier() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bQuit = true;
    }
    m_wake.notify_all();
    if (m_watchdog.joinable()) m_watchdog.join();
}

void CServiceNotifier::Notify(const std::string& message) {
    // A socket that went away is systemd's concern; the program goes on either way.
    if (m_bEnabled) sd_notify(0, message.c_str());
}

void CServiceNotifier::Ready() { Notify("READY=1\nSTATUS=Waiting for the first pass"); }

void CServiceNotifier::Status(const std::string& text) { Notify("STATUS=" + text); }

void CServiceNotifier::Stopping() { Notify("STOPPING=1\nSTATUS=Stopping"); }

void CServiceNotifier::FeedWatchdog(long long periodMs) {
    const long long quietLimit = std::max(periodMs / 2, kLongestQuietMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_bQuit) {
        if (MonotonicMs() - LastSignOfLife() <= quietLimit) Notify("WATCHDOG=1");
        m_wake.wait_for(lock, std::chrono::milliseconds(periodMs / 4), [this] { return m_bQuit; });
    }
}

std::string CServiceNotifier::PassStatus(const CPassResult& pass, std::time_t endedAt) {
    struct tm local {};
    localtime_r(&endedAt, &local);
    char clock[16];
    strftime(clock, sizeof(clock), "%H:%M:%S", &local);
    if (!pass.feedError.empty()) return Format("Last pass %s: feed failed: %s", clock, pass.feedError.c_str());
    return Format("Last pass %s: %zu updated, %zu failed, %u up to date", clock, pass.updated.size(),
                  pass.failed.size() + pass.refused.size(), pass.upToDate);
}
