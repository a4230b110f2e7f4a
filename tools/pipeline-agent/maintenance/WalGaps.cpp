#include "maintenance/WalGaps.h"

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "archive/RecoveryWindow.h"
#include "base/Counted.h"
#include "wal/TimelineHistory.h"
#include "wal/WalFileName.h"

namespace {

constexpr std::uint64_t kNoEnd = std::numeric_limits<std::uint64_t>::max();

// One timeline's part of a target's line: segments [begin, end).
struct LinePart {
    std::uint32_t timeline;
    std::uint64_t begin;
    std::uint64_t end;
};

// The line recovery follows to target: each ancestor up to the segment of
// its switch point, then target itself, as WalCoverage walks it.
std::vector<LinePart> lineTo(std::uint32_t target,
                             const std::map<std::uint32_t, TimelineHistory>& histories,
                             WalSegmentSize size) {
    std::vector<LinePart> line;
    std::uint64_t begin = 0;
    const auto history = histories.find(target);
    if (history != histories.end()) {
        for (const TimelineHistoryEntry& entry : history->second.entries) {
            const std::uint64_t end = segnoOfLsn(entry.switchPoint, size);
            line.push_back({entry.parentTimeline, begin, end});
            begin = end;
        }
    }
    line.push_back({target, begin, kNoEnd});
    return line;
}

using Held = std::map<std::uint32_t, std::set<std::uint64_t>>;

// The newest segment held on the line at or after start.
std::optional<std::uint64_t> newestOn(const std::vector<LinePart>& line, const Held& held,
                                      std::uint64_t start) {
    std::optional<std::uint64_t> newest;
    for (const LinePart& part : line) {
        const auto segments = held.find(part.timeline);
        if (segments == held.end() || part.end <= start) continue;
        const auto past = segments->second.lower_bound(part.end);
        if (past == segments->second.begin()) continue;
        const std::uint64_t last = *std::prev(past);
        if (last >= std::max(part.begin, start)) newest = std::max(newest.value_or(0), last);
    }
    return newest;
}

// A missing run, by timeline and last missing segment (which every backup
// that meets it sees alike), and its first missing segment.
using RunKey = std::pair<std::uint32_t, std::uint64_t>;
struct Run {
    std::uint64_t first;
    std::vector<unsigned long long> backups;
};

// Adds the runs missing on part within [from, to], each reaching back to the
// segment after the one held before it on part.
void addRuns(std::map<RunKey, Run>& runs, const LinePart& part, const Held& held,
             std::uint64_t from, std::uint64_t to, unsigned long long backup) {
    static const std::set<std::uint64_t> none;
    const auto found = held.find(part.timeline);
    const std::set<std::uint64_t>& segments = found == held.end() ? none : found->second;
    const auto add = [&](std::uint64_t first, std::uint64_t last) {
        auto before = segments.lower_bound(first);
        if (before != segments.begin() && *std::prev(before) >= part.begin) {
            first = *std::prev(before) + 1;
        }
        Run& run = runs.try_emplace({part.timeline, last}, Run{first, {}}).first->second;
        run.first = std::min(run.first, first);
        if (std::find(run.backups.begin(), run.backups.end(), backup) == run.backups.end()) {
            run.backups.push_back(backup);
        }
    };
    std::uint64_t want = from;
    for (auto next = segments.lower_bound(from); want <= to; ++next) {
        if (next == segments.end() || *next > to) {
            add(want, to);
            return;
        }
        if (*next > want) add(want, *next - 1);
        want = *next + 1;
    }
}

}  // namespace

std::vector<WalGapFound> walGapsOf(const WalArchive& archive) {
    const WalCoverage coverage = coverageOf(archive);
    const WalSegmentSize size(archive.segmentSize != 0 ? archive.segmentSize
                                                       : WalSegmentSize::kDefaultBytes);
    Held held;
    for (const auto& [name, file] : archive.files) {
        const std::optional<WalFileName> parsed = parseWalFileName(name);
        if (!parsed || parsed->kind != WalFileKind::Segment) continue;
        if (parsed->seg >= size.segmentsPerLog()) continue;
        const WalSegment segment = walSegmentOf(*parsed, size);
        held[segment.timeline].insert(segment.segno);
    }
    std::map<std::uint32_t, TimelineHistory> histories;
    for (const auto& [name, text] : archive.histories) {
        const std::optional<WalFileName> parsed = parseWalFileName(name);
        if (parsed && parsed->kind == WalFileKind::TimelineHistory) {
            histories[parsed->timeline] = parseTimelineHistory(parsed->timeline, text);
        }
    }

    std::map<RunKey, Run> runs;
    for (const ArchivedBaseBackup& backup : archive.backups) {
        const std::optional<WalFileName> name = parseWalFileName(backup.cluster.startWal);
        if (!name || name->kind != WalFileKind::Segment || name->seg >= size.segmentsPerLog()) {
            continue;
        }
        const WalSegment start = walSegmentOf(*name, size);
        const WalContinuity continuity = coverage.continuity(start);
        // Complete: nothing missing; no first gap: the line does not pass
        // through the start at all, which is no gap.
        if (continuity.complete || continuity.firstGap.empty()) continue;
        const std::vector<LinePart> line = lineTo(continuity.targetTimeline, histories, size);
        const std::uint64_t end = newestOn(line, held, start.segno).value_or(start.segno);
        for (const LinePart& part : line) {
            if (part.end <= start.segno) continue;
            const std::uint64_t from = std::max(part.begin, start.segno);
            const std::uint64_t to = std::min(part.end - 1, end);
            if (from <= to) addRuns(runs, part, held, from, to, backup.jobId);
        }
    }

    std::vector<WalGapFound> gaps;
    for (const auto& [key, run] : runs) {
        WalGapFound found;
        found.timeline = key.first;
        found.gap = {walSegmentName({key.first, run.first}, size),
                     walSegmentName({key.first, key.second}, size), key.second - run.first + 1};
        found.backups = run.backups;
        gaps.push_back(std::move(found));
    }
    return gaps;
}

std::string walGapLine(const WalGapFound& found) {
    return "WAL gap: " + found.gap.firstMissing + " to " + found.gap.lastMissing + " (" +
           counted(found.gap.segments, "segment") +
           ") missing: base backups before it cannot be restored past it";
}
