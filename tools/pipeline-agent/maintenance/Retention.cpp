#include "maintenance/Retention.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>

#include "base/AgentError.h"

namespace {

enum class Period { Day, Week, Month };

// The UTC calendar period a time falls in: its day, ISO 8601 week or month.
std::string bucketOf(std::time_t time, Period period) {
    std::tm parts{};
    ::gmtime_r(&time, &parts);
    char text[32];
    std::size_t length = 0;
    switch (period) {
    case Period::Day: length = std::strftime(text, sizeof text, "%Y-%m-%d", &parts); break;
    case Period::Week: length = std::strftime(text, sizeof text, "%G-W%V", &parts); break;
    case Period::Month: length = std::strftime(text, sizeof text, "%Y-%m", &parts); break;
    }
    return std::string(text, length);
}

// Keeps the newest job of each of the newest `count` periods that hold one.
void keepPerBucket(std::vector<RetentionDecision>& decisions, unsigned long count, Period period,
                   const char* rule) {
    std::string last;
    unsigned long kept = 0;
    for (RetentionDecision& decision : decisions) {
        if (kept == count) return;
        const std::string bucket = bucketOf(decision.job.created, period);
        if (bucket == last) continue;
        last = bucket;
        decision.keep = true;
        decision.rules.emplace_back(rule);
        ++kept;
    }
}

}  // namespace

std::vector<RetentionDecision> applyRetention(const RetentionPolicy& policy,
                                              std::vector<RetentionJob> jobs) {
    std::sort(jobs.begin(), jobs.end(), [](const RetentionJob& a, const RetentionJob& b) {
        return a.created != b.created ? a.created > b.created : a.jobId > b.jobId;
    });
    std::vector<RetentionDecision> decisions;
    for (const RetentionJob& job : jobs) decisions.push_back({job, false, {}});
    if (decisions.empty()) return decisions;
    decisions.front().keep = true;
    decisions.front().rules.emplace_back("newest");
    for (std::size_t i = 0; i < decisions.size() && i < policy.last; ++i) {
        decisions[i].keep = true;
        decisions[i].rules.emplace_back("last");
    }
    if (policy.within) {
        const std::time_t newest = decisions.front().job.created;
        const std::time_t since = newest - static_cast<std::time_t>(policy.within->count());
        for (RetentionDecision& decision : decisions) {
            if (decision.job.created < since) break;
            decision.keep = true;
            decision.rules.emplace_back("within");
        }
    }
    keepPerBucket(decisions, policy.daily, Period::Day, "daily");
    keepPerBucket(decisions, policy.weekly, Period::Week, "weekly");
    keepPerBucket(decisions, policy.monthly, Period::Month, "monthly");
    return decisions;
}

std::vector<WalJobDecision> decideWalJobs(const WalCoverage& coverage,
                                          const std::vector<WalSegment>& keptStarts,
                                          const std::vector<WalRetentionJob>& jobs) {
    const WalRetention retention = coverage.neededFrom(keptStarts);
    const std::set<std::string> drop(retention.drop.begin(), retention.drop.end());
    const std::set<std::string> keep(retention.keep.begin(), retention.keep.end());
    std::vector<WalJobDecision> decisions;
    for (const WalRetentionJob& job : jobs) {
        WalJobDecision decision{job.jobId, false, "-"};
        bool needed = false;
        bool history = false;
        bool uncounted = false;
        for (const std::string& file : job.files) {
            if (drop.count(file) != 0) continue;
            const std::optional<WalFileName> name = parseWalFileName(file);
            if (name && name->kind == WalFileKind::TimelineHistory) {
                history = true;
            } else if (keep.count(file) != 0) {
                needed = true;
            } else {
                uncounted = true;
            }
        }
        if (keptStarts.empty()) {
            decision = {job.jobId, true, "no base backup kept"};
        } else if (needed) {
            decision = {job.jobId, true, "needed"};
        } else if (history) {
            decision = {job.jobId, true, "timeline history"};
        } else if (uncounted) {
            decision = {job.jobId, true, "not WAL"};
        }
        decisions.push_back(std::move(decision));
    }
    return decisions;
}

std::chrono::seconds parseRetentionDuration(const std::string& text) {
    const auto refuse = [&text]() -> AgentError {
        return badInput("--keep-within " + text +
                        ": give a whole number of hours, days or weeks, such as 12h, 7d or 2w "
                        "(1h to 100 years)");
    };
    if (text.size() < 2 || text.size() > 8) throw refuse();
    const char unit = text.back();
    long long hours = 0;
    if (unit == 'h')
        hours = 1;
    else if (unit == 'd')
        hours = 24;
    else if (unit == 'w')
        hours = 24 * 7;
    else
        throw refuse();
    long long count = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') throw refuse();
        count = count * 10 + (text[i] - '0');
    }
    const long long total = count * hours;
    if (total < 1 || total > 100LL * 366 * 24) throw refuse();
    return std::chrono::hours(total);
}

std::optional<std::time_t> parseCatalogTime(const std::string& text) {
    std::tm parts{};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &parts.tm_year, &parts.tm_mon,
                    &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &consumed) != 6 ||
        consumed != 19) {
        return std::nullopt;
    }
    if (parts.tm_mon < 1 || parts.tm_mon > 12 || parts.tm_mday < 1 || parts.tm_mday > 31 ||
        parts.tm_hour > 23 || parts.tm_min > 59 || parts.tm_sec > 60) {
        return std::nullopt;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return ::timegm(&parts);
}
