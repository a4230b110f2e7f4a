#pragma once

// Where a point-in-time restore stops, from the restore's --target-* options,
// and the recovery settings it leaves in postgresql.auto.conf. Pure functions
// of their arguments (but for what a LocalTimeToUtc does); any thread may
// call them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wal/RecoveryTime.h"

// The options as given on the command line; each unset when not given.
struct RecoveryTargetOptions {
    std::optional<std::string> time;      // --target-time
    std::optional<std::string> lsn;       // --target-lsn
    std::optional<std::string> xid;       // --target-xid
    std::optional<std::string> name;      // --target-name
    std::optional<std::string> target;    // --target (only "latest")
    std::optional<std::string> timeline;  // --target-timeline
    std::optional<std::string> action;    // --target-action
};

enum class RecoveryTargetKind { Latest, Time, Lsn, Xid, Name };
enum class RecoveryTimelineKind { Unset, Latest, Current, Id };
enum class RecoveryAction { Pause, Promote, Shutdown };

// A checked recovery target. text is the setting's value as it will be
// written: the user's own text for a time and a name, the LSN as "%X/%X",
// the xid in decimal.
struct RecoveryTarget {
    RecoveryTargetKind kind = RecoveryTargetKind::Latest;
    std::string text;
    std::int64_t timeMicros = 0;  // a time's moment, microseconds since the epoch (UTC)
    std::uint64_t lsn = 0;
    std::uint64_t xid = 0;
    RecoveryTimelineKind timelineKind = RecoveryTimelineKind::Unset;
    std::uint32_t timeline = 0;  // for RecoveryTimelineKind::Id
    RecoveryAction action = RecoveryAction::Promote;
};

// The options checked: at most one target; a time in a form parseRecoveryTime
// reads (a time without a zone taken by local); an LSN "X/Y"; an xid a
// positive whole number (decimal); a name not empty, without line breaks, at
// most 63 bytes (PostgreSQL's limit); --target only "latest"; a timeline
// "latest", "current" or a number from 1 (decimal, or hex after 0x);
// an action pause, promote or shutdown (default promote), given only with a
// target that stops recovery. No options at all mean recovery to the end of
// the archived WAL. Throws AgentError (bad input) with one line naming the
// option at the first fault.
RecoveryTarget parseRecoveryTarget(const RecoveryTargetOptions& options,
                                   const LocalTimeToUtc& local);

// value as a quoted string of PostgreSQL's configuration files: in single
// quotes, each ' and \ doubled (as ALTER SYSTEM writes them). Throws
// AgentError (bad input) naming what when value holds a line break or a NUL
// byte, which no setting's line can hold.
std::string configQuoted(std::string_view value, std::string_view what);

// The recovery settings' lines (without line ends), in this order:
// restore_command, the target's recovery_target_time/_lsn/_xid/_name, its
// recovery_target_action, and recovery_target_timeline when one was given.
// A target of "latest" writes neither target nor action. Throws AgentError
// (bad input) when restoreCommand is empty or cannot be quoted.
std::vector<std::string> recoverySettingsLines(const RecoveryTarget& target,
                                               std::string_view restoreCommand);
