#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive/WalArchive.h"
#include "platform/local/Config.h"
#include "report/JsonReport.h"
#include "wal/WalCoverage.h"

// `list --wal`: what a store's WAL archive covers, timeline by timeline, and
// how far each native PostgreSQL base backup can be recovered with it.

// One base backup and its recoverable window: from its end to the moment
// the newest segment it reaches was archived, when recovery gets through to
// the newest WAL; else the line saying why it does not.
struct WalBackupRow {
    unsigned long long jobId = 0;
    std::string startWal, stopWal;
    std::string endedAt;   // the backup's end, the server's clock
    std::string latest;    // empty when recovery does not get through
    std::string lastReachable;
    std::string problem;   // empty when it does
};

// The moments a restore of some base backup can reach: from the earliest
// end of a backup that gets through to the latest moment one reaches.
struct RecoverableWindow {
    std::string earliest;
    std::string latest;
};

struct WalListing {
    std::vector<WalTimelineSpan> timelines;  // lowest first
    std::vector<WalBackupRow> backups;       // oldest first
    // None when no base backup gets through to the newest WAL.
    std::optional<RecoverableWindow> window;
    std::size_t files = 0;  // the WAL files archived, every kind
};

// The listing of archive. Pure; throws AgentError (bad input) for a history
// file that does not parse.
WalListing walListingOf(const WalArchive& archive);

// The listing as list --wal prints it, a line each (no line endings): per
// timeline "timeline T: FIRST to LAST, N segments", each gap under it
// "  gap: A to B (N segments) missing"; per base backup "base backup job J:
// WAL START to STOP, ended TIME" and "  recoverable from E to L" or
// "  not recoverable: PROBLEM"; last "recoverable window: E to L" or
// "recoverable window: none". Pure.
std::vector<std::string> walListingLines(const WalListing& listing);

// The listing as list --wal --json's "wal" field. Pure.
nlohmann::ordered_json walListingJson(const WalListing& listing);

// The window as the documents give it: {"earliest", "latest"}, or null.
nlohmann::ordered_json recoveryWindowJson(const std::optional<RecoverableWindow>& window);

// Prints the open store's listing on stdout (walListingLines), or, with an
// enabled report, adds "store" and "wal" to it instead; says how many
// timelines, WAL files and base backups it holds. Opens the store itself
// (read-only). Throws AgentError: bad input for a manifest or history file
// that does not parse, a failed job when the store cannot be read. Thread
// rules: the command's thread.
void listWal(const localplatform::Config& config, JsonReport& report);

// Adds "recoveryWindow" to an enabled report when the open store holds base
// backups or WAL; nothing otherwise. Manifests that cannot be read are
// passed over (check names them). Throws AgentError as readWalArchive does.
void addRecoveryWindow(JsonReport& report);
