#include "report/TraceTimeline.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>
#include <stdexcept>

using nlohmann::json;

namespace {

// Every thread named or with events so far, by (pid, tid).
using Threads = std::map<std::pair<std::string, std::string>, TimelineRow>;

// The trace's list of events: the document itself, or its "traceEvents".
const json& eventsOf(const json& trace) {
    if (trace.is_array()) return trace;
    if (trace.is_object()) {
        const auto events = trace.find("traceEvents");
        if (events != trace.end() && events->is_array()) return *events;
    }
    throw std::invalid_argument("it has no traceEvents list");
}

// A text field of an event, empty when it is absent or not text.
std::string stringField(const json& event, const char* key) {
    const auto found = event.find(key);
    return found != event.end() && found->is_string() ? found->get<std::string>() : "";
}

// A pid or tid: a number or a string, as the format allows.
std::string idField(const json& event, const char* key) {
    const auto found = event.find(key);
    if (found == event.end()) return "";
    if (found->is_number_integer()) return std::to_string(found->get<long long>());
    if (found->is_string()) return found->get<std::string>();
    return found->dump();
}

// Takes a metadata ("M") event: a process's or thread's name, a thread's
// sort index.
void readMetadata(const json& event, const std::string& pid, const std::string& tid,
                  Threads& threads, Timeline& timeline) {
    const auto args = event.find("args");
    if (args == event.end() || !args->is_object()) return;
    const std::string name = stringField(event, "name");
    if (name == "process_name") timeline.processNames[pid] = stringField(*args, "name");
    if (name == "thread_name") threads[{pid, tid}].label = stringField(*args, "name");
    const auto sort = args->find("sort_index");
    if (name == "thread_sort_index" && sort != args->end() && sort->is_number()) {
        threads[{pid, tid}].order = sort->get<double>();
    }
}

// A complete event's bar; throws when its times are not numbers or its
// duration is negative. index: the event's place in the list, from 1.
TimelineBar barOf(const json& event, std::size_t index) {
    const auto ts = event.find("ts");
    const auto dur = event.find("dur");
    if (ts == event.end() || dur == event.end() || !ts->is_number() || !dur->is_number() ||
        !std::isfinite(ts->get<double>()) || !std::isfinite(dur->get<double>()) ||
        dur->get<double>() < 0) {
        throw std::invalid_argument("event " + std::to_string(index) +
                                    " is a complete event without numbers ts and dur >= 0");
    }
    TimelineBar bar;
    const std::string name = stringField(event, "name");
    bar.name = name.empty() ? "?" : name;
    bar.category = stringField(event, "cat");
    bar.start = ts->get<double>();
    bar.duration = dur->get<double>();
    const auto args = event.find("args");
    if (args != event.end() && args->is_object()) {
        const auto bytes = args->find("bytes");
        if (bytes != args->end() && bytes->is_number_unsigned()) {
            bar.detail = ", " + std::to_string(bytes->get<unsigned long long>()) + " bytes";
        }
    }
    return bar;
}

// Adds a bar to its thread's row, its name to the legend, its times to the
// span.
void addBar(TimelineBar bar, const std::string& pid, const std::string& tid, Threads& threads,
            std::set<std::string>& inLegend, Timeline& timeline) {
    timeline.first = std::min(timeline.first, bar.start);
    timeline.last = std::max(timeline.last, bar.start + bar.duration);
    if (inLegend.insert(bar.name).second) timeline.legend.emplace_back(bar.name, bar.category);
    TimelineRow& row = threads[{pid, tid}];
    if (row.label.empty() && row.bars.empty() && row.order == 0) {
        row.order = tid.empty() ? 0 : std::atof(tid.c_str());
    }
    row.bars.push_back(std::move(bar));
}

// The threads with bars, in drawing order: by pid, then order; threads of
// the same order by tid.
std::vector<TimelineRow> drawnRows(Threads& threads) {
    std::vector<TimelineRow> rows;
    for (auto& [key, row] : threads) {
        if (row.bars.empty()) continue;
        row.pid = key.first;
        row.tid = key.second;
        rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        if (a.pid != b.pid) return a.pid < b.pid;
        return a.order < b.order;
    });
    return rows;
}

}  // namespace

Timeline readTimeline(const json& trace) {
    const json& events = eventsOf(trace);
    Timeline timeline;
    timeline.first = INFINITY;
    timeline.last = -INFINITY;
    Threads threads;
    std::set<std::string> inLegend;
    std::size_t index = 0;
    for (const json& event : events) {
        ++index;
        if (!event.is_object()) {
            throw std::invalid_argument("event " + std::to_string(index) + " is not an object");
        }
        const std::string phase = stringField(event, "ph");
        const std::string pid = idField(event, "pid");
        const std::string tid = idField(event, "tid");
        if (phase == "M") readMetadata(event, pid, tid, threads, timeline);
        if (phase == "X") addBar(barOf(event, index), pid, tid, threads, inLegend, timeline);
    }
    timeline.rows = drawnRows(threads);
    if (timeline.rows.empty()) throw std::invalid_argument("it holds no complete events to draw");
    if (!std::isfinite(timeline.last - timeline.first)) {
        throw std::invalid_argument("its events span more time than can be drawn");
    }
    return timeline;
}
