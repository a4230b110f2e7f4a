// Which jobs a retention policy keeps, on jobs with chosen creation times.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/AgentError.h"
#include "maintenance/Retention.h"

namespace {

std::time_t at(const std::string& text) {
    const auto time = parseCatalogTime(text);
    EXPECT_TRUE(time) << text;
    return time.value_or(0);
}

// "id:rule,rule" for each kept job, newest first; removed ones as "id:-".
std::vector<std::string> outcome(const RetentionPolicy& policy,
                                 const std::vector<RetentionJob>& jobs) {
    std::vector<std::string> lines;
    for (const RetentionDecision& decision : applyRetention(policy, jobs)) {
        std::string rules;
        for (const std::string& rule : decision.rules) rules += (rules.empty() ? "" : ",") + rule;
        EXPECT_EQ(decision.keep, !rules.empty()) << decision.job.jobId;
        lines.push_back(std::to_string(decision.job.jobId) + ":" + (rules.empty() ? "-" : rules));
    }
    return lines;
}

// Two jobs a day on 1, 2 and 4 December, one on 28 November (the week
// before) and one on 30 October (the month before), given out of order.
std::vector<RetentionJob> sampleJobs() {
    return {
        {7, at("2026-12-04T18:00:00.000Z")}, {1, at("2026-10-30T12:00:00.000Z")},
        {6, at("2026-12-04T08:00:00.000Z")}, {5, at("2026-12-02T23:59:59.999Z")},
        {4, at("2026-12-02T00:00:00.000Z")}, {3, at("2026-12-01T10:00:00.000Z")},
        {8, at("2026-12-01T09:00:00.000Z")}, {2, at("2026-11-28T12:00:00.000Z")},
    };
}

TEST(RetentionTest, KeepLastKeepsTheNewestJobsByCreationTimeNotById) {
    RetentionPolicy policy;
    policy.last = 3;
    EXPECT_EQ(outcome(policy, sampleJobs()),
              (std::vector<std::string>{"7:newest,last", "6:last", "5:last", "4:-", "3:-", "8:-",
                                        "2:-", "1:-"}));
}

TEST(RetentionTest, KeepWithinCountsFromTheNewestJobAndIncludesTheBoundary) {
    RetentionPolicy policy;
    policy.within = parseRetentionDuration("3d");  // back to 1 December 18:00 exactly
    std::vector<RetentionJob> jobs = sampleJobs();
    jobs.push_back({9, at("2026-12-01T18:00:00.000Z")});
    EXPECT_EQ(outcome(policy, jobs),
              (std::vector<std::string>{"7:newest,within", "6:within", "5:within", "4:within",
                                        "9:within", "3:-", "8:-", "2:-", "1:-"}));
}

TEST(RetentionTest, DailyWeeklyMonthlyKeepTheNewestOfEachOfTheLastPeriodsThatHaveAJob) {
    RetentionPolicy daily;
    daily.daily = 3;  // 4, 2 and 1 December: the day without a job does not count
    EXPECT_EQ(outcome(daily, sampleJobs()),
              (std::vector<std::string>{"7:newest,daily", "6:-", "5:daily", "4:-", "3:daily", "8:-",
                                        "2:-", "1:-"}));
    RetentionPolicy weekly;
    weekly.weekly = 2;  // ISO weeks: 30 Nov - 6 Dec, then 23 - 29 Nov
    EXPECT_EQ(outcome(weekly, sampleJobs()),
              (std::vector<std::string>{"7:newest,weekly", "6:-", "5:-", "4:-", "3:-", "8:-",
                                        "2:weekly", "1:-"}));
    RetentionPolicy monthly;
    monthly.monthly = 5;  // more months than have jobs: one for each of the three
    EXPECT_EQ(outcome(monthly, sampleJobs()),
              (std::vector<std::string>{"7:newest,monthly", "6:-", "5:-", "4:-", "3:-", "8:-",
                                        "2:monthly", "1:monthly"}));
}

TEST(RetentionTest, PoliciesAddUpAndTheNewestJobIsAlwaysKept) {
    RetentionPolicy policy;
    policy.last = 2;
    policy.daily = 2;
    policy.monthly = 3;
    EXPECT_EQ(outcome(policy, sampleJobs()),
              (std::vector<std::string>{"7:newest,last,daily,monthly", "6:last", "5:daily", "4:-",
                                        "3:-", "8:-", "2:monthly", "1:monthly"}));
    // Jobs made in the same second are told apart by id, the higher newer.
    RetentionPolicy within;
    within.within = parseRetentionDuration("1h");
    EXPECT_EQ(outcome(within, {{4, at("2026-01-01T00:00:00Z")},
                               {9, at("2026-01-01T00:00:00Z")},
                               {2, at("2025-12-31T22:59:59Z")}}),
              (std::vector<std::string>{"9:newest,within", "4:within", "2:-"}));
    EXPECT_TRUE(applyRetention(policy, {}).empty());
}

TEST(RetentionTest, DurationsAndTimesOfOtherFormsAreRefused) {
    EXPECT_EQ(parseRetentionDuration("12h").count(), 12 * 3600);
    EXPECT_EQ(parseRetentionDuration("2w").count(), 14 * 24 * 3600);
    for (const char* bad : {"", "7", "d", "0d", "-1d", "7 d", "1.5d", "7m", "99999999w"}) {
        try {
            parseRetentionDuration(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const AgentError& error) {
            EXPECT_EQ(error.exitCode(), 2) << bad;
            EXPECT_NE(std::string(error.what()).find("--keep-within"), std::string::npos);
        }
    }
    EXPECT_EQ(at("1970-01-02T00:00:00.000Z"), 86400);
    EXPECT_FALSE(parseCatalogTime("2026-13-01T00:00:00Z"));
    EXPECT_FALSE(parseCatalogTime("yesterday"));
    EXPECT_FALSE(parseCatalogTime("2026-12-01 10:00:00"));
}

}  // namespace
