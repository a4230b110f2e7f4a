#pragma once

// A timeline history file (TTTTTTTT.history) read from its text. Pure
// functions of their arguments; any thread may call them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One line of a history file: the timeline parentTimeline ended at
// switchPoint (an LSN) and its next timeline began there.
struct TimelineHistoryEntry {
    std::uint32_t parentTimeline = 0;
    std::uint64_t switchPoint = 0;
    std::string reason;

    bool operator==(const TimelineHistoryEntry&) const = default;
};

// The history of one timeline: the ancestors it came from, oldest first.
struct TimelineHistory {
    std::uint32_t timeline = 0;
    std::vector<TimelineHistoryEntry> entries;
};

// The entries of the history file of timeline, from its text: one line each
// "parentTLI<TAB>switchpoint<TAB>reason" (parentTLI decimal, switchpoint
// "X/Y", the reason the rest of the line, possibly empty); blank lines and
// lines starting with '#' (after blanks) are skipped. Throws AgentError (bad
// input) with one line naming the file and line when a line has no numeric
// timeline or switch point, timelines do not increase, a parent is not below
// timeline, or switch points go backwards.
TimelineHistory parseTimelineHistory(std::uint32_t timeline, std::string_view text);
