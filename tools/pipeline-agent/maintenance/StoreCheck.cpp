#include "maintenance/StoreCheck.h"

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/AgentError.h"
#include "base/Console.h"
#include "base/Interrupt.h"
#include "base/UtcTime.h"
#include "maintenance/CheckVerdict.h"
#include "maintenance/FrameVerification.h"
#include "maintenance/JobContents.h"
#include "maintenance/VerificationDates.h"
#include "maintenance/WalGaps.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreSession.h"
#include "report/JobReport.h"
#include "report/ScanProgress.h"
#include "session/StoreSession.h"

namespace {

using localplatform::Access;

// Opens the store for the check and returns the config it was opened with.
// A repair clears what stands where jobs/ or its log belongs instead of
// refusing the store. A key file that cannot be used (a FIFO, say) is bad
// input, refused before the store is looked at. From then on a signal stops
// the check, or the repair before its catalog replaces the old one, between
// two chunks of archive data.
localplatform::Config openForCheck(const localplatform::Config& given, bool repair,
                                   const KeySource& key) {
    localplatform::Config config = given;
    config.clearUnusablePlaces = repair;
    if (!key.keyFile.empty()) (void)readUserKey(key, "check");
    openStoreFor(config, repair ? Access::ReadWrite : Access::ReadOnly, false);
    onInterrupt([](int) { localplatform::interrupt(); });
    return config;
}

// Ends the check on a store failure, its progress line cleared first.
[[noreturn]] void failCheck(const localplatform::StoreError& error,
                            const localplatform::Config& config,
                            std::optional<ScanProgress>& progress) {
    progress.reset();
    throwStoreError(error, config);
}

// The bound on the archive data read, the jobs read first (readFirst), and
// the progress line (if shown) told of each chunk.
localplatform::CheckLimits checkLimits(std::optional<unsigned long long> maxBytes,
                                       std::vector<unsigned long long> readFirst,
                                       std::optional<ScanProgress>& progress) {
    localplatform::CheckLimits limits;
    limits.maxBytes = maxBytes;
    limits.readFirst = std::move(readFirst);
    if (progress) {
        limits.progress = [&progress](unsigned long long read, const std::string& file) {
            progress->update(read, file);
        };
    }
    return limits;
}

// The store's own check: its catalog against its files, their digests.
localplatform::CheckResult runStoreCheck(const localplatform::Config& config, bool repair,
                                         const localplatform::CheckLimits& limits,
                                         std::optional<ScanProgress>& progress) {
    try {
        return localplatform::check(repair, limits);
    } catch (const localplatform::StoreError& error) {
        failCheck(error, config, progress);
    }
}

// Whether the catalog can be read, through which the manifests and frames
// are found. One that cannot is a problem the check found already, which
// they would add nothing to; a store out of reach, a signal, or a catalog
// unreadable though the check found nothing, ends the check.
bool catalogReadable(const localplatform::CheckResult& result, const localplatform::Config& config,
                     std::optional<ScanProgress>& progress) {
    try {
        (void)localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        using Kind = localplatform::StoreError::Kind;
        if (result.problems.empty() || error.kind() == Kind::Unreachable ||
            error.kind() == Kind::Interrupted) {
            failCheck(error, config, progress);
        }
        return false;
    }
    return true;
}

// What is wrong with the store's WAL archive, when it holds base backups or
// WAL: a line for each gap on the way from a base backup to the newest WAL
// it reaches, or one for a history file that cannot be read. Nothing for a
// store without either.
std::vector<std::string> walProblems() {
    const WalArchive archive = readWalArchive(true);
    if (archive.backups.empty() && archive.walJobs.empty()) return {};
    std::vector<std::string> problems;
    try {
        for (const WalGapFound& gap : walGapsOf(archive)) problems.push_back(walGapLine(gap));
    } catch (const AgentError& error) {
        problems.push_back(std::string("the WAL archive cannot be followed: ") + error.what());
    }
    return problems;
}

// The complete jobs in the order they are read (verificationOrder): those
// verified longest ago first. None when the catalog cannot be read, which
// the check itself then finds.
std::vector<unsigned long long> readingOrder() {
    try {
        return verificationOrder(localplatform::listJobs(), storedVerificationDates());
    } catch (const localplatform::StoreError&) {
        return {};
    }
}

// Reads the store: its own check, then, when its catalog can be read, the
// manifests it keeps, the WAL its base backups need, and the frames of its
// jobs with stages, whose bytes count against the same bound. The jobs
// verified longest ago are read first. Shows how far it has read on stderr
// (unless -q) until it returns.
CheckFindings auditStore(const localplatform::Config& config, bool repair,
                         std::optional<unsigned long long> maxBytes, const KeySource& key) {
    std::optional<ScanProgress> progress;
    if (progressShown().load()) {
        progress.emplace(repair ? "check --repair" : "check", stderrProgress(config));
    }
    const localplatform::CheckLimits limits = checkLimits(maxBytes, readingOrder(), progress);
    CheckFindings found;
    found.result = runStoreCheck(config, repair, limits, progress);
    if (catalogReadable(found.result, config, progress)) {
        for (std::string& problem : storedManifestProblems(config)) {
            found.result.problems.push_back(std::move(problem));
        }
        for (std::string& problem : walProblems()) {
            found.result.problems.push_back(std::move(problem));
        }
        const FrameLimits frameLimits{maxBytes, found.result.bytes, limits.progress,
                                      limits.readFirst};
        found.frames = verifyFramedJobs(config, key, frameLimits);
    }
    return found;
}

// Records when the jobs that a check which passed read whole were verified,
// for the order of the next checks and for `list --json`; a check that
// found problems records nothing. The store, open read-only for a check
// (for writing only for a repair), is opened again for writing. What stops the record (a store that cannot be
// written, say) is a note: the check itself stands.
void keepDates(const localplatform::Config& config, bool repair, CheckFindings& found,
               const std::string& began) {
    if (found.result.jobsRead.empty() || !found.result.problems.empty() ||
        !found.frames.keyRefused.empty()) {
        return;
    }
    try {
        if (!repair) localplatform::openStore(config, Access::ReadWrite, false);
        keepVerificationDates(found.result.jobsRead, began, localplatform::listJobs());
    } catch (const localplatform::StoreError& error) {
        found.result.notes.push_back(
            std::string("the dates of this check's verification were not kept: ") + error.what());
    }
}

// Adds the findings to the --json report. Only a bounded check leaves files
// unread, and has "unverified".
void reportFindings(JsonReport& report, const CheckFindings& found,
                    const std::vector<std::string>& advice, const std::string& store, bool repair,
                    bool bounded) {
    const localplatform::CheckResult& result = found.result;
    report.add({{"store", store},
                {"repair", repair},
                {"files", result.files},
                {"bytes", result.bytes},
                {"problems", result.problems},
                {"repaired", result.repaired}});
    if (found.frames.jobs > 0) report.add({{"frameBytes", found.frames.bytes}});
    if (bounded) report.add({{"unverified", result.unverified}});
    report.add({{"jobsVerified", result.jobsRead}});
    if (!result.notes.empty()) report.add({{"notes", result.notes}});
    if (!advice.empty()) report.add({{"advice", advice}});
}

// Prints the findings on stdout, a line each: what was repaired, the notes,
// the problems, what was not read, and the advice unless jobs run.
void printFindings(const localplatform::CheckResult& result,
                   const std::vector<std::string>& advice) {
    for (const auto& line : result.repaired) std::printf("repaired: %s\n", line.c_str());
    for (const auto& line : result.notes) std::printf("note: %s\n", line.c_str());
    for (const auto& line : result.problems) std::printf("problem: %s\n", line.c_str());
    for (const auto& line : result.unverified) std::printf("not verified: %s\n", line.c_str());
    if (result.running == 0) {
        for (const auto& line : advice) std::printf("advice: %s\n", line.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

void checkStore(const localplatform::Config& given, bool repair, JsonReport& report,
                std::optional<unsigned long long> maxBytes, const KeySource& key) {
    const localplatform::Config config = openForCheck(given, repair, key);
    const std::string began = utcNow();
    CheckFindings found = auditStore(config, repair, maxBytes, key);
    mergeFrameFindings(found);
    const std::string store = localplatform::storeDirectory();
    keepDates(config, repair, found, began);
    const std::vector<std::string> advice = checkAdvice(found.result, repair);
    if (report.enabled()) {
        reportFindings(report, found, advice, store, repair, maxBytes.has_value());
    } else {
        printFindings(found.result, advice);
    }
    throwIfCheckFailed(found, advice, store, repair);
    say("%s", checkSummary(found, store).c_str());
}
