#include "maintenance/WalListing.h"

#include <cstdio>

#include "archive/RecoveryWindow.h"
#include "base/AgentError.h"
#include "base/Console.h"
#include "base/Counted.h"
#include "platform/local/StoreSession.h"
#include "session/StoreSession.h"

namespace {

// Whether moment a is before b: by their microseconds when both read as
// times, else as text (the store writes them in one form).
bool before(const std::string& a, const std::string& b) {
    const std::optional<int64_t> at = utcMicros(a);
    const std::optional<int64_t> bt = utcMicros(b);
    if (at && bt) return *at < *bt;
    return a < b;
}

nlohmann::ordered_json textOrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

}  // namespace

WalListing walListingOf(const WalArchive& archive) {
    WalListing listing;
    const WalCoverage coverage = coverageOf(archive);
    listing.timelines = coverage.timelines();
    listing.files = archive.files.size();
    for (const BackupReach& reach : reachOf(archive, coverage)) {
        WalBackupRow row;
        row.jobId = reach.backup->jobId;
        row.startWal = reach.backup->cluster.startWal;
        row.stopWal = reach.backup->cluster.stopWal;
        row.endedAt = reach.earliest;
        row.lastReachable = reach.continuity.lastReachable;
        if (reach.continuity.complete) {
            row.latest = reach.latest;
            if (!listing.window) {
                listing.window = RecoverableWindow{reach.earliest, reach.latest};
            } else {
                if (before(reach.earliest, listing.window->earliest)) {
                    listing.window->earliest = reach.earliest;
                }
                if (before(listing.window->latest, reach.latest)) {
                    listing.window->latest = reach.latest;
                }
            }
        } else {
            row.problem = reach.continuity.problem;
        }
        listing.backups.push_back(std::move(row));
    }
    return listing;
}

std::vector<std::string> walListingLines(const WalListing& listing) {
    std::vector<std::string> lines;
    for (const WalTimelineSpan& span : listing.timelines) {
        lines.push_back("timeline " + std::to_string(span.timeline) + ": " + span.first + " to " +
                        span.last + ", " + counted(span.segments, "segment"));
        for (const WalGap& gap : span.gaps) {
            lines.push_back("  gap: " + gap.firstMissing + " to " + gap.lastMissing + " (" +
                            counted(gap.segments, "segment") + ") missing");
        }
    }
    for (const WalBackupRow& row : listing.backups) {
        lines.push_back("base backup job " + std::to_string(row.jobId) + ": WAL " + row.startWal +
                        " to " + row.stopWal + ", ended " + row.endedAt);
        lines.push_back(row.problem.empty()
                            ? "  recoverable from " + row.endedAt + " to " + row.latest
                            : "  not recoverable: " + row.problem);
    }
    lines.push_back(listing.window ? "recoverable window: " + listing.window->earliest + " to " +
                                         listing.window->latest
                                   : "recoverable window: none");
    return lines;
}

nlohmann::ordered_json recoveryWindowJson(const std::optional<RecoverableWindow>& window) {
    if (!window) return nullptr;
    return {{"earliest", window->earliest}, {"latest", window->latest}};
}

nlohmann::ordered_json walListingJson(const WalListing& listing) {
    nlohmann::ordered_json timelines = nlohmann::ordered_json::array();
    for (const WalTimelineSpan& span : listing.timelines) {
        nlohmann::ordered_json gaps = nlohmann::ordered_json::array();
        for (const WalGap& gap : span.gaps) {
            gaps.push_back({{"firstMissing", gap.firstMissing},
                            {"lastMissing", gap.lastMissing},
                            {"segments", gap.segments}});
        }
        timelines.push_back({{"timeline", span.timeline},
                             {"first", span.first},
                             {"last", span.last},
                             {"segments", span.segments},
                             {"gaps", gaps}});
    }
    nlohmann::ordered_json backups = nlohmann::ordered_json::array();
    for (const WalBackupRow& row : listing.backups) {
        backups.push_back({{"jobId", row.jobId},
                           {"startWal", row.startWal},
                           {"stopWal", row.stopWal},
                           {"endedAt", row.endedAt},
                           {"earliest", textOrNull(row.problem.empty() ? row.endedAt : "")},
                           {"latest", textOrNull(row.latest)},
                           {"lastReachable", textOrNull(row.lastReachable)},
                           {"problem", textOrNull(row.problem)}});
    }
    return {{"files", listing.files},
            {"timelines", timelines},
            {"baseBackups", backups},
            {"recoveryWindow", recoveryWindowJson(listing.window)}};
}

void listWal(const localplatform::Config& config, JsonReport& report) {
    openStoreFor(config, localplatform::Access::ReadOnly, false);
    const WalListing listing = walListingOf(readWalArchive());
    const std::string store = localplatform::storeDirectory();
    if (report.enabled()) {
        report.add({{"store", store}, {"wal", walListingJson(listing)}});
    } else {
        for (const std::string& line : walListingLines(listing)) std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    say("%s, %s, %s in %s", counted(listing.timelines.size(), "timeline").c_str(),
        counted(listing.files, "WAL file").c_str(),
        counted(listing.backups.size(), "base backup").c_str(), store.c_str());
}

void addRecoveryWindow(JsonReport& report) {
    if (!report.enabled()) return;
    const WalArchive archive = readWalArchive(true);
    if (archive.backups.empty() && archive.walJobs.empty()) return;
    std::optional<RecoverableWindow> window;
    try {
        window = walListingOf(archive).window;
    } catch (const AgentError&) {
        // A history file that does not parse: no window can be told.
    }
    report.add({{"recoveryWindow", recoveryWindowJson(window)}});
}
