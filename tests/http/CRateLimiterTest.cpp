#include <gtest/gtest.h>
#include <string>

#include "http/CRateLimiter.h"

namespace {

using Schedule = CRateLimiter::Schedule;
using namespace std::chrono_literals;

TEST(RateScheduleTest, ReadsRatesAndTimetables) {
    const struct {
        const char* text;
        Schedule expected;
    } cases[] = {
        {"1000", {{0, 1000}}},
        {"512k", {{0, 512 * 1024}}},
        {"2M", {{0, 2 * 1024 * 1024}}},
        {"3K", {{0, 3 * 1024}}},
        {"off", {{0, 0}}},
        {"0", {{0, 0}}},
        {"08:00,512k 18:00,2M 23:30,off", {{480, 512 * 1024}, {1080, 2 * 1024 * 1024}, {1410, 0}}},
        {"  18:00,2M   00:00,1k ", {{0, 1024}, {1080, 2 * 1024 * 1024}}},
    };
    for (const auto& c : cases) {
        Schedule schedule;
        ASSERT_TRUE(CRateLimiter::Parse(c.text, schedule)) << c.text;
        EXPECT_EQ(schedule, c.expected) << c.text;
    }
}

TEST(RateScheduleTest, RefusesWhatDoesNotRead) {
    for (const char* text :
         {"", "   ", "fast", "512kb", "1.5M", "-1", "2G", "k", "512 k", "512k 1M", "24:00,1k", "08:60,1k", "8:00,1k",
          "08:00,", "08:00,1k 08:00,2k", "08:00;1k", "1099511627777", "1048577M", "08:00,1k off"}) {
        Schedule schedule{{0, 7}};
        EXPECT_FALSE(CRateLimiter::Parse(text, schedule)) << text;
        EXPECT_EQ(schedule, (Schedule{{0, 7}})) << text;
    }
}

TEST(RateScheduleTest, EachTimeHoldsUntilTheNextAndTheLastWrapsPastMidnight) {
    const Schedule schedule{{480, 100}, {1080, 200}, {1410, 0}};
    const struct {
        int minute;
        unsigned long long rate;
    } cases[] = {{0, 0}, {479, 0}, {480, 100}, {1079, 100}, {1080, 200}, {1409, 200}, {1410, 0}, {1439, 0}};
    for (const auto& c : cases) EXPECT_EQ(CRateLimiter::RateAt(schedule, c.minute), c.rate) << c.minute;
    EXPECT_EQ(CRateLimiter::RateAt({{600, 5}}, 0), 5u);
}

// Drives the bucket through the given time, always asking for want bytes, and counts what it grants.
class RateLimiterTest : public ::testing::Test {
protected:
    CRateLimiter::Clock::time_point At(CRateLimiter::Clock::duration offset) const { return m_start + offset; }

    unsigned long long Run(CRateLimiter& limiter, CRateLimiter::Clock::duration from, CRateLimiter::Clock::duration to,
                           unsigned long long want, int minute = 0) {
        unsigned long long total = 0;
        for (auto now = from; now < to;) {
            CRateLimiter::Clock::duration wait{};
            const unsigned long long granted = limiter.Take(want, At(now), minute, wait);
            total += granted;
            EXPECT_LE(granted, want);
            if (granted == 0) {
                EXPECT_GT(wait, CRateLimiter::Clock::duration::zero());
                now += wait;
            }
        }
        return total;
    }

    const CRateLimiter::Clock::time_point m_start = CRateLimiter::Clock::now();
};

TEST_F(RateLimiterTest, OneSecondsWorthPassesAtOnceAfterAQuietSpell) {
    CRateLimiter limiter({{0, 100000}});
    CRateLimiter::Clock::duration wait{};
    unsigned long long total = 0;
    while (total < 100000) {
        const unsigned long long granted = limiter.Take(100000 - total, At(0s), 0, wait);
        ASSERT_GT(granted, 0u);
        total += granted;
    }
    EXPECT_EQ(limiter.Take(50000, At(0s), 0, wait), 0u);
    EXPECT_GT(wait, 0s);
}

TEST_F(RateLimiterTest, AverageAndEverySecondStayWithinTheCap) {
    const unsigned long long rate = 64 * 1024;
    CRateLimiter limiter({{0, rate}});
    unsigned long long total = 0;
    for (int second = 0; second < 20; ++second) {
        const unsigned long long inSecond =
            Run(limiter, std::chrono::seconds(second), std::chrono::seconds(second + 1), 16384);
        EXPECT_LE(inSecond, rate * 11 / 10) << "second " << second;
        total += inSecond;
    }
    // One second's worth ahead at most, never behind by more than a slice.
    EXPECT_LE(total, 21 * rate);
    EXPECT_GE(total, 20 * rate - rate / 10);
}

TEST_F(RateLimiterTest, ParallelTakersShareOneCap) {
    const unsigned long long rate = 100000;
    CRateLimiter limiter({{0, rate}});
    Run(limiter, 0s, 11s, 1 << 20);  // spends the first second's worth
    unsigned long long total = 0;
    CRateLimiter::Clock::duration wait{};
    for (CRateLimiter::Clock::duration now = 11s; now < 21s; now += 10ms) {
        for (int taker = 0; taker < 4; ++taker) total += limiter.Take(8192, At(now), 0, wait);
    }
    EXPECT_NEAR(static_cast<double>(total), 10.0 * rate, rate * 0.5);
}

TEST_F(RateLimiterTest, BytesGivenBackAreGrantedAgain) {
    CRateLimiter limiter({{0, 1000}});
    CRateLimiter::Clock::duration wait{};
    while (limiter.Take(1000, At(0s), 0, wait) > 0) {
    }
    limiter.GiveBack(100);
    EXPECT_EQ(limiter.Take(1000, At(0s), 0, wait), 100u);
}

TEST_F(RateLimiterTest, TimetableSwitchesTheRateAndOffLiftsIt) {
    CRateLimiter limiter({{0, 10000}, {600, 0}});
    CRateLimiter::Clock::duration wait{};
    while (limiter.Take(4096, At(0s), 0, wait) > 0) {
    }
    EXPECT_EQ(limiter.Take(1 << 30, At(0s), 600, wait), 1u << 30);
    EXPECT_EQ(wait, 0s);
}

TEST_F(RateLimiterTest, AStopEndsTheWait) {
    CRateLimiter limiter({{0, 1}}, [] { return 0; });
    CRateLimiter::Clock::duration waited{};
    EXPECT_EQ(limiter.Acquire(1, {}, waited), 1u);
    int asked = 0;
    EXPECT_EQ(limiter.Acquire(
                  1, [&asked] { return ++asked > 2; }, waited),
              0u);
    EXPECT_EQ(asked, 3);
    EXPECT_GT(waited, 0s);
    EXPECT_LT(waited, 200ms);
}

}  // namespace
