// The record of when check last read each job whole: its text, what is
// refused as no such record, and the order a bounded check reads jobs in.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "maintenance/VerificationDates.h"

namespace {

localplatform::JobRecord job(unsigned long long id, const std::string& state = "complete") {
    localplatform::JobRecord record;
    record.jobId = id;
    record.state = state;
    return record;
}

}  // namespace

TEST(VerificationDates, TheRecordReadsBackAsWrittenAndRefusesWhatNoCheckWrote) {
    const VerificationDates dates = {{7, "2026-12-01T03:00:00Z"}, {12, "2026-12-09T03:00:05Z"}};
    const std::string text = verificationText(dates);
    EXPECT_EQ(text,
              "{\n \"format\": 1,\n \"jobs\": {\n  \"7\": \"2026-12-01T03:00:00Z\",\n"
              "  \"12\": \"2026-12-09T03:00:05Z\"\n }\n}\n");
    EXPECT_EQ(parseVerificationText(text), dates);
    EXPECT_TRUE(parseVerificationText("{\"format\": 1, \"jobs\": {}}").empty());

    for (const std::string bad : {
             "",
             "[]",
             "{\"jobs\": {}}",
             "{\"format\": 2, \"jobs\": {}}",
             "{\"format\": \"1\", \"jobs\": {}}",
             "{\"format\": 1.5, \"jobs\": {}}",
             "{\"format\": 1, \"jobs\": []}",
             "{\"format\": 1, \"jobs\": {\"x\": \"2026-12-01T03:00:00Z\"}}",
             "{\"format\": 1, \"jobs\": {\"07\": \"2026-12-01T03:00:00Z\"}}",
             "{\"format\": 1, \"jobs\": {\"-7\": \"2026-12-01T03:00:00Z\"}}",
             "{\"format\": 1, \"jobs\": {\"99999999999999999999\": \"2026-12-01T03:00:00Z\"}}",
             "{\"format\": 1, \"jobs\": {\"7\": \"2026-12-01 03:00:00\"}}",
             "{\"format\": 1, \"jobs\": {\"7\": 20261201}}",
         }) {
        EXPECT_THROW(parseVerificationText(bad), std::invalid_argument) << bad;
    }
}

TEST(VerificationDates, ACheckReadsTheJobsNeverVerifiedFirstThenThoseVerifiedLongestAgo) {
    const std::vector<localplatform::JobRecord> jobs = {job(3), job(4, "failed"),  job(5), job(6),
                                                        job(8), job(9, "damaged"), job(10)};
    const VerificationDates dates = {{3, "2026-12-09T03:00:00Z"},
                                     {5, "2026-12-01T03:00:00Z"},
                                     {8, "2026-12-01T03:00:00Z"},
                                     {4, "2026-11-01T03:00:00Z"},
                                     {99, "2026-11-01T03:00:00Z"}};
    EXPECT_EQ(verificationOrder(jobs, dates), (std::vector<unsigned long long>{6, 10, 5, 8, 3}));
    EXPECT_EQ(verificationOrder(jobs, {}), (std::vector<unsigned long long>{3, 5, 6, 8, 10}));
}
