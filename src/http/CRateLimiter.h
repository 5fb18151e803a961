#ifndef MAD_HTTP_CRATELIMITER_H
#define MAD_HTTP_CRATELIMITER_H

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// A bandwidth cap that every download of the process shares: a token bucket that fills at the
// rate in force and holds one second's worth, so a map smaller than that after a quiet spell
// passes unslowed. No one-second window lets more than 1.1 times the rate through, which
// leaves room below 1.5 times for what the kernel holds beyond what was read. The rate is constant or
// follows a timetable of local times. Thread-safe; it never waits while holding its lock.
class CRateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    // From this minute of the day (0..1439) on, this many bytes per second; 0 means no cap.
    struct Change {
        int minute = 0;
        unsigned long long rate = 0;
        bool operator==(const Change& other) const { return minute == other.minute && rate == other.rate; }
    };
    using Schedule = std::vector<Change>;

    // Reads "512k", "2M", "1000", "off" or "0" (one change at midnight), or a timetable of
    // "HH:MM,rate" entries separated by spaces ("08:00,512k 18:00,2M 23:30,off"), each rate
    // holding until the next time and the last one wrapping past midnight. The suffixes k and M
    // (either case) count 1024 and 1024 * 1024. False for anything else, a time named twice or
    // a rate above 1 TiB per second.
    static bool Parse(const std::string& text, Schedule& schedule);
    // The rate in force at minute of the day; 0 when the schedule is empty.
    static unsigned long long RateAt(const Schedule& schedule, int minute);

    // localMinute answers the local minute of the day (tests inject their own; empty: the
    // system's local time).
    explicit CRateLimiter(Schedule schedule, std::function<int()> localMinute = {});
    CRateLimiter(const CRateLimiter&) = delete;
    CRateLimiter& operator=(const CRateLimiter&) = delete;

    // How many bytes of want (1 or more) may be read at now; 0 when the caller must wait, for
    // about wait. Granted bytes count as received until given back.
    unsigned long long Take(unsigned long long want, Clock::time_point now, int minute, Clock::duration& wait);
    // Returns bytes granted but not received.
    void GiveBack(unsigned long long unused);

    // The rate in force now; 0 when there is no cap.
    unsigned long long Rate() const;
    // Take, waiting as long as the cap asks and adding the time waited to waited. 0 only when
    // stopRequested (asked at least every 20 ms) answered true.
    unsigned long long Acquire(unsigned long long want, const std::function<bool()>& stopRequested,
                               Clock::duration& waited);

private:
    int LocalMinute() const;

    const Schedule m_schedule;
    const std::function<int()> m_localMinute;
    std::mutex m_mutex;
    // The rate the bucket was last filled at; 0 before the first capped Take.
    unsigned long long m_rate = 0;
    double m_tokens = 0;
    Clock::time_point m_filled;
    // Grants of the last second, oldest first, and their sum.
    std::deque<std::pair<Clock::time_point, unsigned long long>> m_recent;
    unsigned long long m_recentSum = 0;
};

#endif
