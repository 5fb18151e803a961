#include "http/CRateLimiter.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <sstream>
#include <thread>

namespace {

constexpr unsigned long long kHighestRate = 1ULL << 40;
// No one-second window passes more than this share of the rate.
constexpr double kPeakShare = 1.1;
// A wait ends for a grant of at least this share of a second's worth (or of what is wanted), so
// a capped download reads in slices of a twentieth of a second rather than byte by byte.
constexpr unsigned long long kSlicesPerSecond = 20;
// Nor is one grant more than this share of a second's worth: parallel downloads take turns.
constexpr unsigned long long kGrantsPerSecond = 8;
constexpr auto kStopPoll = std::chrono::milliseconds(20);
constexpr auto kSecond = std::chrono::seconds(1);

bool ParseRate(const std::string& text, unsigned long long& rate) {
    if (text == "off") {
        rate = 0;
        return true;
    }
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])) != 0) ++digits;
    if (digits == 0 || digits > 13) return false;
    unsigned long long unit = 1;
    const std::string suffix = text.substr(digits);
    if (suffix == "k" || suffix == "K") {
        unit = 1024;
    } else if (suffix == "M" || suffix == "m") {
        unit = 1024 * 1024;
    } else if (!suffix.empty()) {
        return false;
    }
    const unsigned long long number = std::stoull(text.substr(0, digits));
    if (number > kHighestRate / unit) return false;
    rate = number * unit;
    return true;
}

// "HH:MM" to a minute of the day.
bool ParseTime(const std::string& text, int& minute) {
    if (text.size() != 5 || text[2] != ':') return false;
    for (const size_t i : {0u, 1u, 3u, 4u}) {
        if (std::isdigit(static_cast<unsigned char>(text[i])) == 0) return false;
    }
    const int hours = (text[0] - '0') * 10 + (text[1] - '0');
    const int minutes = (text[3] - '0') * 10 + (text[4] - '0');
    if (hours > 23 || minutes > 59) return false;
    minute = hours * 60 + minutes;
    return true;
}

}  // namespace

bool CRateLimiter::Parse(const std::string& text, Schedule& schedule) {
    Schedule read;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        Change change;
        const size_t comma = word.find(',');
        if (comma == std::string::npos) {
            // A bare rate holds all day, and only alone.
            if (!ParseRate(word, change.rate) || !read.empty() || words >> word) return false;
        } else if (!ParseTime(word.substr(0, comma), change.minute) ||
                   !ParseRate(word.substr(comma + 1), change.rate)) {
            return false;
        }
        read.push_back(change);
    }
    if (read.empty()) return false;
    std::sort(read.begin(), read.end(), [](const Change& a, const Change& b) { return a.minute < b.minute; });
    for (size_t i = 1; i < read.size(); ++i) {
        if (read[i].minute == read[i - 1].minute) return false;
    }
    schedule = std::move(read);
    return true;
}

unsigned long long CRateLimiter::RateAt(const Schedule& schedule, int minute) {
    if (schedule.empty()) return 0;
    // Before the day's first change, the last one of the day before still holds.
    unsigned long long rate = schedule.back().rate;
    for (const Change& change : schedule) {
        if (change.minute > minute) break;
        rate = change.rate;
    }
    return rate;
}

CRateLimiter::CRateLimiter(Schedule schedule, std::function<int()> localMinute)
    : m_schedule(std::move(schedule)), m_localMinute(std::move(localMinute)) {}

int CRateLimiter::LocalMinute() const {
    if (m_localMinute) return m_localMinute();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return 0;
    return local.tm_hour * 60 + local.tm_min;
}

unsigned long long CRateLimiter::Rate() const { return RateAt(m_schedule, LocalMinute()); }

unsigned long long CRateLimiter::Take(unsigned long long want, Clock::time_point now, int minute,
                                      Clock::duration& wait) {
    wait = Clock::duration::zero();
    if (want == 0) return 0;
    const unsigned long long rate = RateAt(m_schedule, minute);
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (rate == 0) {
        // Uncapped: the next cap starts with a full bucket and a clean slate.
        m_rate = 0;
        m_recent.clear();
        m_recentSum = 0;
        return want;
    }
    const double capacity = static_cast<double>(rate);
    if (m_rate == 0) {
        m_tokens = capacity;
    } else {
        const double elapsed = std::chrono::duration<double>(now - m_filled).count();
        m_tokens = std::min(capacity, m_tokens + std::max(0.0, elapsed) * capacity);
    }
    m_rate = rate;
    m_filled = std::max(m_filled, now);
    while (!m_recent.empty() && m_recent.front().first + kSecond <= now) {
        m_recentSum -= m_recent.front().second;
        m_recent.pop_front();
    }
    const double peak = kPeakShare * capacity;
    const double room = std::max(0.0, peak - static_cast<double>(m_recentSum));
    const unsigned long long enough = std::min(want, std::max(1ULL, rate / kSlicesPerSecond));
    const double need = static_cast<double>(enough);
    if (m_tokens >= need && room >= need) {
        const double most = std::min({m_tokens, room, static_cast<double>(std::max(1ULL, rate / kGrantsPerSecond))});
        const unsigned long long granted = std::max(enough, std::min(want, static_cast<unsigned long long>(most)));
        m_tokens -= static_cast<double>(granted);
        m_recent.emplace_back(now, granted);
        m_recentSum += granted;
        return granted;
    }
    // Until the bucket holds enough, and until enough of the last second's grants grow old.
    double seconds = std::max(0.0, (need - m_tokens) / capacity);
    if (room < need) {
        double freed = room;
        for (const auto& [when, bytes] : m_recent) {
            freed += static_cast<double>(bytes);
            if (freed >= need) {
                seconds = std::max(seconds, std::chrono::duration<double>(when + kSecond - now).count());
                break;
            }
        }
    }
    wait =
        std::max<Clock::duration>(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)),
                                  std::chrono::microseconds(100));
    return 0;
}

void CRateLimiter::GiveBack(unsigned long long unused) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_rate == 0) return;
    m_tokens = std::min(static_cast<double>(m_rate), m_tokens + static_cast<double>(unused));
    // The newest grants are the ones not yet received.
    while (unused > 0 && !m_recent.empty()) {
        const unsigned long long part = std::min(unused, m_recent.back().second);
        m_recent.back().second -= part;
        m_recentSum -= part;
        unused -= part;
        if (m_recent.back().second == 0) m_recent.pop_back();
    }
}

unsigned long long CRateLimiter::Acquire(unsigned long long want, const std::function<bool()>& stopRequested,
                                         Clock::duration& waited) {
    for (;;) {
        if (stopRequested && stopRequested()) return 0;
        Clock::duration wait{};
        const Clock::time_point now = Clock::now();
        const unsigned long long granted = Take(want, now, LocalMinute(), wait);
        if (granted > 0) return granted;
        std::this_thread::sleep_for(std::min<Clock::duration>(wait, kStopPoll));
        waited += Clock::now() - now;
    }
}
