#pragma once

#include <string>
#include <vector>

#include "archive/WalArchive.h"
#include "wal/WalCoverage.h"

// The WAL that check finds missing: the runs of segments the archive lacks
// on the way from a base backup's start segment to the newest segment it
// can reach, along the timeline it recovers to (the latest one, as
// WalCoverage::continuity resolves it).

// A run of missing segments on one timeline, and the base backups whose
// recovery it stops.
struct WalGapFound {
    WalGap gap;
    std::uint32_t timeline = 0;
    std::vector<unsigned long long> backups;  // job ids, oldest first
};

// Every gap in the way of a base backup of the archive, each once, by
// timeline and then by its first missing segment. A gap runs from the
// segment after the last one held before it (or where its timeline's part of
// the line begins) to the one before the next held segment (or where that
// part ends); a start segment the archive lacks is in a gap too. Base
// backups whose start cannot be read are passed over. Pure; borrows nothing.
// Throws AgentError (bad input) for a history file that does not parse.
std::vector<WalGapFound> walGapsOf(const WalArchive& archive);

// check's line for a gap: "WAL gap: A to B (3 segments) missing: base
// backups before it cannot be restored past it".
std::string walGapLine(const WalGapFound& found);
