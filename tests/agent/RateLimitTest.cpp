// The rate limit: how long each thread waits for the bytes counted so far,
// the credit a pause leaves, a wait that ends when the job stops, and the
// option's values. A fake clock that only its sleeps move: nothing sleeps
// for real.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "base/AgentError.h"
#include "base/RateLimit.h"
#include "report/StreamPhases.h"

using namespace std::chrono_literals;

namespace {

constexpr uint64_t kMiB = 1 << 20;

struct FakeTime {
    std::chrono::nanoseconds now{5s};
    std::vector<std::chrono::nanoseconds> sleeps;
    std::function<void()> onSleep;

    RateLimit::Clock clock() {
        return [this] { return now; };
    }
    RateLimit::Sleep sleep() {
        return [this](std::chrono::nanoseconds span) {
            sleeps.push_back(span);
            now += span;
            if (onSleep) onSleep();
        };
    }
};

TEST(RateLimit, EachCallWaitsUntilTheBytesSoFarFitUnderTheRateInStepsOfAtMost100ms) {
    FakeTime time;
    RateLimit limit(4 * kMiB, time.clock(), time.sleep());
    // 1 MiB at 4 MiB/s is due 250 ms after the first bytes.
    EXPECT_EQ(limit.pace(kMiB), 250ms);
    EXPECT_EQ(time.sleeps, (std::vector<std::chrono::nanoseconds>{100ms, 100ms, 50ms}));
    // The time spent moving the next bytes counts: 2 MiB more are due 500 ms
    // after the first MiB was, 50 ms of which went by in the work.
    time.now += 50ms;
    EXPECT_EQ(limit.pace(2 * kMiB), 450ms);
    // 16 MiB in all over 4 s whatever the chunks: the job's average holds.
    for (int i = 0; i < 13; ++i) limit.pace(kMiB);
    EXPECT_EQ(time.now, 5s + 4s);
    for (const auto span : time.sleeps) EXPECT_LE(span, RateLimit::kStep);
}

TEST(RateLimit, TimeNotUsedIsMadeUpForOnlyAsFarAsTheCredit) {
    static_assert(RateLimit::kCredit == 1s);
    FakeTime time;
    RateLimit limit(kMiB, time.clock(), time.sleep());
    EXPECT_EQ(limit.pace(kMiB), 1s);
    // A stall of 5 s: the next MiB (1 s at this rate) uses the second of
    // credit and passes; the one after waits its whole time.
    time.now += 5s;
    EXPECT_EQ(limit.pace(kMiB), 0ms);
    EXPECT_EQ(limit.pace(kMiB), 1s);
    // A stall shorter than the credit is made up for whole.
    time.now += 300ms;
    EXPECT_EQ(limit.pace(kMiB), 700ms);
    // Under the rate all along: no wait, however much time went by.
    time.now += 3s;
    EXPECT_EQ(limit.pace(kMiB / 2), 0ms);
}

TEST(RateLimit, AWaitEndsWithinAStepOfTheReleaseAndNoneBeginsAfter) {
    FakeTime time;
    RateLimit limit(1024, time.clock(), time.sleep());
    // 1 MiB at 1 KiB/s would be 1024 s: released at its first sleep.
    time.onSleep = [&] { limit.release(); };
    EXPECT_EQ(limit.pace(kMiB), 100ms);
    EXPECT_EQ(limit.pace(kMiB), 0ms);
    EXPECT_EQ(time.sleeps.size(), 1u);
}

// The job's stream code paces through StreamPhases: the observers hear of
// the bytes before the wait, and stopPacing ends it.
struct CountingObserver : PhaseObserver {
    std::vector<uint64_t> jobBytes;
    void phaseChanged(unsigned long, Phase, JobTime, uint64_t) override {}
    void bytesMoved(unsigned long, uint64_t, uint64_t bytes, JobTime) override {
        jobBytes.push_back(bytes);
    }
};

TEST(RateLimit, StreamPhasesPacesEveryStreamTogetherAfterTellingItsObservers) {
    FakeTime time;
    CountingObserver observer;
    StreamPhases phases({JobKind::Restore, 7, 2, 8 * kMiB, true, 2 * kMiB}, time.clock(),
                        time.sleep());
    phases.addObserver(&observer);
    std::vector<uint64_t> heardAtFirstSleep;
    time.onSleep = [&] {
        if (heardAtFirstSleep.empty()) heardAtFirstSleep = observer.jobBytes;
    };
    const auto start = time.now;
    phases.moved(1, kMiB);
    phases.moved(2, 3 * kMiB);
    EXPECT_EQ(heardAtFirstSleep, std::vector<uint64_t>{kMiB});
    EXPECT_EQ(time.now - start, 2s);  // 4 MiB at 2 MiB/s, over both streams
    time.onSleep = [&] { phases.stopPacing(); };
    phases.moved(1, 4 * kMiB);
    EXPECT_EQ(time.now - start, 2s + RateLimit::kStep);

    // Without a limit nothing waits.
    StreamPhases free({JobKind::Restore, 8, 1, kMiB}, time.clock(), time.sleep());
    free.moved(1, kMiB);
    EXPECT_EQ(time.now - start, 2s + RateLimit::kStep);
}

TEST(RateOption, TakesBytesPerSecondWithABinaryUnit) {
    EXPECT_EQ(parseRate("--limit-rate", "50M"), 50 * kMiB);
    EXPECT_EQ(parseRate("--limit-rate", "800k"), 800u * 1024);
    EXPECT_EQ(parseRate("--limit-rate", "1G"), 1024 * kMiB);
    EXPECT_EQ(parseRate("--limit-rate", "1024"), 1024u);
    EXPECT_EQ(parseRate("--limit-rate", "1024G"), 1ull << 40);
    for (const char* text : {"", "M", "5X", "1.5M", "-1M", "+1M", "1023", "1025G", " 1M",
                             "99999999999999999999K", "0M"}) {
        SCOPED_TRACE(text);
        try {
            parseRate("--limit-rate", text);
            ADD_FAILURE() << "taken";
        } catch (const AgentError& error) {
            EXPECT_EQ(error.kind(), AgentError::Kind::BadInput);
            EXPECT_EQ(std::string(error.what()),
                      std::string("--limit-rate must be bytes per second from 1K to 1024G "
                                  "(800K, 50M, 1G), not ") +
                          text);
        }
    }
}

}  // namespace
