#include "wal/WalCoverage.h"

#include <algorithm>
#include <limits>

namespace {

constexpr std::uint64_t kNoEnd = std::numeric_limits<std::uint64_t>::max();

}  // namespace

WalCoverage::WalCoverage(const std::vector<std::string>& names,
                         std::vector<TimelineHistory> histories, WalSegmentSize size)
    : m_size(size) {
    for (TimelineHistory& history : histories) {
        const std::uint32_t timeline = history.timeline;
        m_histories[timeline] = std::move(history);
    }
    for (const std::string& name : names) {
        const auto parsed = parseWalFileName(name);
        if (!parsed) {
            m_ignored.push_back(name);
            continue;
        }
        if (parsed->kind == WalFileKind::TimelineHistory) {
            m_files[name] = std::nullopt;
            continue;
        }
        if (parsed->seg >= m_size.segmentsPerLog()) {
            m_ignored.push_back(name);
            continue;
        }
        const WalSegment segment = walSegmentOf(*parsed, m_size);
        m_files[name] = segment;
        if (parsed->kind == WalFileKind::Segment) m_segments[segment.timeline].insert(segment.segno);
    }
    std::sort(m_ignored.begin(), m_ignored.end());
    m_ignored.erase(std::unique(m_ignored.begin(), m_ignored.end()), m_ignored.end());
}

std::vector<WalTimelineSpan> WalCoverage::timelines() const {
    std::vector<WalTimelineSpan> spans;
    for (const auto& [timeline, segnos] : m_segments) {
        WalTimelineSpan span;
        span.timeline = timeline;
        span.first = walSegmentName({timeline, *segnos.begin()}, m_size);
        span.last = walSegmentName({timeline, *segnos.rbegin()}, m_size);
        span.segments = segnos.size();
        std::uint64_t previous = *segnos.begin();
        for (const std::uint64_t segno : segnos) {
            if (segno > previous + 1) {
                span.gaps.push_back({walSegmentName({timeline, previous + 1}, m_size),
                                     walSegmentName({timeline, segno - 1}, m_size),
                                     segno - previous - 1});
            }
            previous = segno;
        }
        spans.push_back(std::move(span));
    }
    return spans;
}

std::vector<WalCoverage::LineRange> WalCoverage::lineOf(std::uint32_t timeline) const {
    std::vector<LineRange> line;
    std::uint64_t begin = 0;
    const auto history = m_histories.find(timeline);
    if (history != m_histories.end()) {
        for (const TimelineHistoryEntry& entry : history->second.entries) {
            const std::uint64_t end = segnoOfLsn(entry.switchPoint, m_size);
            line.push_back({entry.parentTimeline, begin, end});
            begin = end;
        }
    }
    line.push_back({timeline, begin, kNoEnd});
    return line;
}

WalContinuity WalCoverage::continuity(WalSegment start,
                                      std::optional<std::uint32_t> targetTimeline) const {
    WalContinuity result;
    std::uint32_t target = start.timeline;
    if (targetTimeline) {
        target = *targetTimeline;
    } else {
        while (target < std::numeric_limits<std::uint32_t>::max() &&
               m_histories.count(target + 1) != 0) {
            ++target;
        }
    }
    result.targetTimeline = target;
    const std::string startName = walSegmentName(start, m_size);
    const std::vector<LineRange> line = lineOf(target);

    const auto own = std::find_if(line.begin(), line.end(), [&](const LineRange& range) {
        return range.timeline == start.timeline;
    });
    if (own == line.end()) {
        result.problem = "timeline " + std::to_string(target) + " does not descend from timeline " +
                         std::to_string(start.timeline) + " of " + startName;
        return result;
    }
    if (own->end != kNoEnd && start.segno > own->end) {
        result.problem = "timeline " + std::to_string(target) + " left timeline " +
                         std::to_string(start.timeline) + " at segment " +
                         walSegmentName({start.timeline, own->end}, m_size) + ", before " +
                         startName;
        return result;
    }

    // The newest segment held on the line, at or after the start.
    std::optional<std::uint64_t> newest;
    for (const LineRange& range : line) {
        const auto held = m_segments.find(range.timeline);
        if (held == m_segments.end() || range.end <= start.segno) continue;
        auto past = held->second.lower_bound(range.end);
        if (past == held->second.begin()) continue;
        const std::uint64_t last = *std::prev(past);
        if (last >= std::max(range.begin, start.segno)) newest = std::max(newest.value_or(0), last);
    }

    std::uint64_t want = start.segno;
    const std::uint64_t end = newest.value_or(start.segno);
    for (const LineRange& range : line) {
        if (want > end) break;
        if (range.end <= want) continue;
        const std::uint64_t upTo = std::min(range.end - 1, end);
        const auto held = m_segments.find(range.timeline);
        for (; want <= upTo; ++want) {
            if (held == m_segments.end() || held->second.count(want) == 0) {
                result.firstGap = walSegmentName({range.timeline, want}, m_size);
                result.problem = "the archive lacks " + result.firstGap +
                                 ", so recovery from " + startName +
                                 (result.lastReachable.empty()
                                      ? " cannot begin"
                                      : " stops after " + result.lastReachable);
                return result;
            }
            result.lastReachable = walSegmentName({range.timeline, want}, m_size);
        }
    }
    result.complete = true;
    return result;
}

bool WalCoverage::reaches(WalSegment start, std::uint32_t timeline) const {
    if (timeline == start.timeline) return true;
    for (const LineRange& range : lineOf(timeline)) {
        if (range.timeline == start.timeline) return range.end >= start.segno;
    }
    return false;
}

WalRetention WalCoverage::neededFrom(const std::vector<WalSegment>& keptStarts) const {
    WalRetention retention;
    std::uint64_t lowestStart = kNoEnd;
    for (const WalSegment& start : keptStarts) lowestStart = std::min(lowestStart, start.segno);
    for (const auto& [name, segment] : m_files) {
        bool needed = !segment || keptStarts.empty();
        if (!needed && segment->timeline != 1 && m_histories.count(segment->timeline) == 0) {
            needed = segment->segno >= lowestStart;
        }
        for (const WalSegment& start : keptStarts) {
            if (needed) break;
            needed = segment->segno >= start.segno && reaches(start, segment->timeline);
        }
        (needed ? retention.keep : retention.drop).push_back(name);
    }
    return retention;
}
