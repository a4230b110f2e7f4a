#pragma once

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "wal/WalCoverage.h"

// Which complete jobs a retention policy keeps. For the last N days (weeks,
// months) that have a complete job, the newest job of each is kept; the
// rules add up, a job kept by any rule is kept, and the newest job is always
// kept. Days, weeks (ISO 8601) and months are UTC's.
struct RetentionPolicy {
    unsigned long last = 0;                      // the newest N jobs
    std::optional<std::chrono::seconds> within;  // jobs this close to the newest one
    unsigned long daily = 0;
    unsigned long weekly = 0;
    unsigned long monthly = 0;

    bool any() const { return last || within || daily || weekly || monthly; }
};

struct RetentionJob {
    unsigned long long jobId = 0;
    std::time_t created = 0;  // UTC seconds
};

struct RetentionDecision {
    RetentionJob job;
    bool keep = false;
    // The rules that keep it, in a fixed order: newest, last, within, daily,
    // weekly, monthly; empty for a job to remove.
    std::vector<std::string> rules;
};

// The decision for every job, newest first (by creation time, then id).
std::vector<RetentionDecision> applyRetention(const RetentionPolicy& policy,
                                              std::vector<RetentionJob> jobs);

// A job of archived WAL files (wal-push) and the names of the files it
// holds. Retention policies never count such jobs: they go with the base
// backups that need them.
struct WalRetentionJob {
    unsigned long long jobId = 0;
    std::vector<std::string> files;
};

struct WalJobDecision {
    unsigned long long jobId = 0;
    bool keep = false;
    // Why it is kept, or "-" for a job to remove.
    std::string why;
};

// The decision for each WAL job once the base backups that stay are known,
// by their start segments (keptStarts): a job goes only when every file it
// holds is among coverage.neededFrom(keptStarts).drop, so a job holding a
// timeline history file, or a file the coverage does not count, stays, and
// with no kept start every job stays. In the order of jobs. Pure.
std::vector<WalJobDecision> decideWalJobs(const WalCoverage& coverage,
                                          const std::vector<WalSegment>& keptStarts,
                                          const std::vector<WalRetentionJob>& jobs);

// A duration of --keep-within: a whole number with h (hours), d (days) or w
// (weeks), such as 12h, 7d, 2w; from 1 hour to 100 years. Throws AgentError
// (bad input) naming the option and the text.
std::chrono::seconds parseRetentionDuration(const std::string& text);

// The UTC seconds of a catalog time ("2026-12-08T17:41:01.123Z"); nullopt
// for text of another form.
std::optional<std::time_t> parseCatalogTime(const std::string& text);
