#pragma once

// What a WAL archive covers, from the names of the files it holds and the
// timeline history files among them: each timeline's segments and gaps,
// whether a base backup can be recovered to the newest WAL of a timeline, and
// which files the kept base backups still need.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "wal/TimelineHistory.h"
#include "wal/WalFileName.h"

// A run of missing segments on one timeline, first..last inclusive.
struct WalGap {
    std::string firstMissing;
    std::string lastMissing;
    std::uint64_t segments = 0;

    bool operator==(const WalGap&) const = default;
};

// The segments an archive holds on one timeline: its first and last segment's
// names, how many it holds, and the gaps between first and last.
struct WalTimelineSpan {
    std::uint32_t timeline = 0;
    std::string first;
    std::string last;
    std::uint64_t segments = 0;
    std::vector<WalGap> gaps;
};

// Whether recovery from a base backup's start segment can replay every
// segment up to the newest one archived on its way to the target timeline.
struct WalContinuity {
    bool complete = false;
    // The timeline recovery follows ("latest" resolved).
    std::uint32_t targetTimeline = 0;
    // The last segment of an unbroken run from the start segment on; empty
    // when the start segment itself is missing.
    std::string lastReachable;
    // The first segment missing on the way; empty when complete.
    std::string firstGap;
    // One line saying why recovery cannot get through; empty when complete.
    std::string problem;
};

// The archive's WAL files split by whether the kept base backups need them,
// each list in name order.
struct WalRetention {
    std::vector<std::string> keep;
    std::vector<std::string> drop;
};

// The files of one archive, for a cluster of one segment size. Holds copies
// of what it is given; const calls may run on any number of threads at once.
class WalCoverage {
public:
    // names: every file name the archive holds (not paths). Names that are not
    // WAL files, or are segments of another segment size, are kept aside in
    // ignored(). histories: the parsed history files the archive holds (a
    // timeline without one is taken to have no parents, as PostgreSQL does).
    WalCoverage(const std::vector<std::string>& names, std::vector<TimelineHistory> histories,
                WalSegmentSize size);

    // Per timeline holding segments, lowest timeline first. Partial segments
    // do not count as held.
    std::vector<WalTimelineSpan> timelines() const;

    // Recovery from the segment start (the one holding a base backup's start
    // LSN, on the backup's timeline) to targetTimeline, or to the latest one
    // when nothing is given: like PostgreSQL, the latest is the highest of
    // start.timeline + 1, + 2, ... whose history file is held, each in turn.
    // Segments come from the timeline that the target's history says was in
    // use at their start: the parent's up to the segment before a switch
    // point, the child's from the switch point's segment on (the new timeline
    // begins with a copy of that segment). The walk ends at the newest segment
    // held on that line; when the target timeline holds none yet, that is the
    // parent's last one before the switch. Not complete also when the target
    // does not descend from start.timeline, or left it before start.segno.
    WalContinuity continuity(WalSegment start,
                             std::optional<std::uint32_t> targetTimeline = std::nullopt) const;

    // Which files the base backups starting at keptStarts need to reach any
    // newer WAL: a segment (or partial segment or backup history file) on
    // timeline T numbered s is kept when some kept start (T0, s0) has s >= s0
    // and T is T0 or a timeline whose history leaves T0 at s0's segment or
    // later; a timeline whose ancestry is unknown (no history file) is kept
    // from the lowest s0. Timeline history files are always kept. With no kept
    // starts at all nothing is dropped (an empty list is taken for a mistake,
    // not for "drop every segment").
    WalRetention neededFrom(const std::vector<WalSegment>& keptStarts) const;

    // The names given that this archive does not count, in name order.
    const std::vector<std::string>& ignored() const { return m_ignored; }

private:
    // One timeline's part of a target's line: segments [begin, end) come from
    // timeline (end is UINT64_MAX for the target itself).
    struct LineRange {
        std::uint32_t timeline;
        std::uint64_t begin;
        std::uint64_t end;
    };
    std::vector<LineRange> lineOf(std::uint32_t timeline) const;
    bool reaches(WalSegment start, std::uint32_t timeline) const;

    WalSegmentSize m_size;
    std::map<std::uint32_t, std::set<std::uint64_t>> m_segments;
    std::map<std::uint32_t, TimelineHistory> m_histories;
    // Every WAL file held, by name, with its segment (none for history files).
    std::map<std::string, std::optional<WalSegment>> m_files;
    std::vector<std::string> m_ignored;
};
