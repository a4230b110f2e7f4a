#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

// What a trace in the Chrome trace-event format holds to draw as a
// timeline: its threads' complete events, the names of its threads and
// processes, and the time they span.

// A complete ("X") event: one phase of a stream.
struct TimelineBar {
    std::string name;  // "?" for an event without one
    std::string category;
    double start = 0;  // microseconds
    double duration = 0;
    std::string detail;  // for the bar's tooltip: ", N bytes" when args.bytes says so
};

// A thread of the trace with complete events: a row of the picture.
struct TimelineRow {
    std::string pid;  // as the trace gives it, a number or a string
    std::string tid;
    std::string label;  // its "thread_name"; empty: none given
    // Its place among its process's rows: its "thread_sort_index", else the
    // tid's number when its first complete event came before any metadata.
    double order = 0;
    std::vector<TimelineBar> bars;  // in the trace's order
};

struct Timeline {
    std::vector<TimelineRow> rows;                    // by pid, then order, then tid
    std::map<std::string, std::string> processNames;  // "process_name", by pid
    // Each phase name once, with the category it came with first, in the
    // order they first came.
    std::vector<std::pair<std::string, std::string>> legend;
    double first = 0;  // the earliest start
    double last = 0;   // the latest end
};

// Reads a trace, the object form or a bare list of events. Events of other
// phases are skipped, and metadata without args. Throws
// std::invalid_argument saying what is wrong: no traceEvents list, an event
// that is not an object or a complete event without numbers ts and
// dur >= 0, no complete event at all, or a span of time too long to draw.
// Thread rules: none; it only reads the trace.
Timeline readTimeline(const nlohmann::json& trace);
