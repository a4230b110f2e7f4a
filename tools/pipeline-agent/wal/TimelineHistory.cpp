#include "wal/TimelineHistory.h"

#include "base/AgentError.h"
#include "wal/WalFileName.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view skipBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    return text;
}

// The leading run of characters that are not blanks, taken off text.
std::string_view takeField(std::string_view& text) {
    std::size_t end = 0;
    while (end < text.size() && !isBlank(text[end])) ++end;
    const std::string_view field = text.substr(0, end);
    text.remove_prefix(end);
    return field;
}

bool parseTimelineNumber(std::string_view field, std::uint32_t& value) {
    if (field.empty() || field.size() > 10) return false;
    std::uint64_t number = 0;
    for (char c : field) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (number == 0 || number > 0xFFFFFFFFULL) return false;
    value = static_cast<std::uint32_t>(number);
    return true;
}

}  // namespace

TimelineHistory parseTimelineHistory(std::uint32_t timeline, std::string_view text) {
    TimelineHistory history;
    history.timeline = timeline;
    const std::string file = timelineHistoryName(timeline);
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const auto refuse = [&](const std::string& why) {
            return badInput(file + " line " + std::to_string(lineNumber) + ": " + why);
        };

        std::string_view rest = skipBlanks(line);
        if (rest.empty() || rest.front() == '#') continue;
        TimelineHistoryEntry entry;
        if (!parseTimelineNumber(takeField(rest), entry.parentTimeline)) {
            throw refuse("expected a timeline number first");
        }
        rest = skipBlanks(rest);
        const auto switchPoint = parseLsn(takeField(rest));
        if (!switchPoint) throw refuse("expected a switch point (X/Y) after the timeline");
        entry.switchPoint = *switchPoint;
        entry.reason = std::string(skipBlanks(rest));

        if (entry.parentTimeline >= timeline) {
            throw refuse("timeline " + std::to_string(entry.parentTimeline) +
                         " is not an ancestor of timeline " + std::to_string(timeline));
        }
        if (!history.entries.empty()) {
            const TimelineHistoryEntry& previous = history.entries.back();
            if (entry.parentTimeline <= previous.parentTimeline) {
                throw refuse("timeline " + std::to_string(entry.parentTimeline) +
                             " does not come after timeline " +
                             std::to_string(previous.parentTimeline));
            }
            if (entry.switchPoint < previous.switchPoint) {
                throw refuse("switch point " + formatLsn(entry.switchPoint) + " is before " +
                             formatLsn(previous.switchPoint));
            }
        }
        history.entries.push_back(std::move(entry));
    }
    return history;
}
