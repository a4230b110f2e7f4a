// The timeline picture's pieces: a trace read into rows of bars, the time
// axis's steps and labels, and the names of rows from several processes.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "report/TimelineScale.h"
#include "report/TimelineSvg.h"
#include "report/TraceTimeline.h"

using nlohmann::json;

namespace {

json complete(const json& pid, const json& tid, const char* name, double ts, double dur) {
    return {{"ph", "X"}, {"name", name}, {"ts", ts}, {"dur", dur}, {"pid", pid}, {"tid", tid}};
}

json metadata(const json& pid, const json& tid, const char* name, const json& args) {
    return {{"ph", "M"}, {"name", name}, {"pid", pid}, {"tid", tid}, {"args", args}};
}

std::vector<std::string> rowIds(const Timeline& timeline) {
    std::vector<std::string> ids;
    for (const TimelineRow& row : timeline.rows) ids.push_back(row.pid + "/" + row.tid);
    return ids;
}

}  // namespace

// Rows go by process, then by their sort index, else by their tid as a
// number ("10" after "9"); a named thread without events draws no row.
TEST(TraceTimeline, OrdersRowsByProcessThenSortIndexThenThreadNumber) {
    json events = json::array();
    events.push_back(complete(2, 1, "data", 0, 5));
    events.push_back(complete(1, 10, "data", 0, 5));
    events.push_back(complete(1, 9, "data", 0, 5));
    events.push_back(complete(1, "3", "data", 0, 5));
    events.push_back(metadata(1, 3, "thread_sort_index", {{"sort_index", 20}}));
    events.push_back(metadata(1, 4, "thread_name", {{"name", "idle"}}));
    const Timeline timeline = readTimeline(events);
    EXPECT_EQ(rowIds(timeline), (std::vector<std::string>{"1/9", "1/10", "1/3", "2/1"}));
}

TEST(TraceTimeline, TakesNamesBytesTheLegendAndTheSpan) {
    json events = json::array();
    events.push_back(metadata(7, 0, "process_name", {{"name", "backup job 7"}}));
    events.push_back(metadata(7, 1, "thread_name", {{"name", "stream 1"}}));
    events.push_back({{"ph", "M"}, {"name", "thread_name"}, {"pid", 7}, {"tid", 2}});  // no args
    json data = complete(7, 1, "data", 100, 50);
    data["cat"] = "backup";
    data["args"] = json::parse(R"({"bytes": 4096})");  // as read from a file
    events.push_back(data);
    json pause = complete(7, 2, "pause", 40, 10);
    pause["args"] = {{"bytes", -1}};  // no count of bytes
    events.push_back(pause);
    json again = complete(7, 2, "data", 300, 0);
    again["cat"] = "other";
    events.push_back(again);
    events.push_back(complete(7, 2, "", 200, 1));
    const Timeline timeline = readTimeline({{"traceEvents", events}});
    EXPECT_EQ(timeline.processNames.at("7"), "backup job 7");
    ASSERT_EQ(timeline.rows.size(), 2u);
    EXPECT_EQ(timeline.rows[0].label, "stream 1");
    EXPECT_EQ(timeline.rows[0].bars.at(0).detail, ", 4096 bytes");
    EXPECT_EQ(timeline.rows[1].label, "");
    EXPECT_EQ(timeline.rows[1].bars.at(0).detail, "");
    EXPECT_EQ(timeline.rows[1].bars.at(2).name, "?");
    // Each name once, with the category it first came with.
    EXPECT_EQ(timeline.legend, (std::vector<std::pair<std::string, std::string>>{
                                   {"data", "backup"}, {"pause", ""}, {"?", ""}}));
    EXPECT_EQ(timeline.first, 40);
    EXPECT_EQ(timeline.last, 300);
}

TEST(TimelineScale, NumbersKeepTheirWholePartAndAtMostTwoDecimals) {
    EXPECT_EQ(shortNumber(2), "2");
    EXPECT_EQ(shortNumber(100), "100");
    EXPECT_EQ(shortNumber(2.5), "2.5");
    EXPECT_EQ(shortNumber(0.254), "0.25");
    EXPECT_EQ(shortNumber(0), "0");
    EXPECT_EQ(shortNumber(-1.5), "-1.5");
}

// About eight ticks, at steps that read well, for spans from a microsecond
// to days.
TEST(TimelineScale, TickStepsAreOneTwoOrFiveTimesAPowerOfTen) {
    for (double span = 1; span < 1e12; span *= 1.37) {
        const double step = tickStep(span);
        const double mantissa = step / std::pow(10, std::floor(std::log10(step) + 1e-9));
        EXPECT_TRUE(std::abs(mantissa - 1) < 1e-6 || std::abs(mantissa - 2) < 1e-6 ||
                    std::abs(mantissa - 5) < 1e-6 || std::abs(mantissa - 10) < 1e-6)
            << span << " " << step;
        EXPECT_GE(span / step, 3.2 - 1e-9) << span;
        EXPECT_LE(span / step, 8 + 1e-9) << span;
    }
    EXPECT_EQ(tickStep(8), 1);
    EXPECT_EQ(tickStep(2e6), 5e5);
}

TEST(TimelineScale, LabelsTakeTheStepsUnitAndFiguresTheirOwn) {
    EXPECT_EQ(tickLabel(1500000, 1e6), "1.5 s");
    EXPECT_EQ(tickLabel(1500000, 1e3), "1500 ms");
    EXPECT_EQ(tickLabel(250, 1e3), "0.25 ms");
    EXPECT_EQ(tickLabel(800, 100), "800 \xC2\xB5s");
    EXPECT_EQ(durationText(999), "999 \xC2\xB5s");
    EXPECT_EQ(durationText(1000), "1.0 ms");
    EXPECT_EQ(durationText(999999), "1000.0 ms");
    EXPECT_EQ(durationText(1e6), "1.00 s");
    EXPECT_EQ(durationText(0), "0 \xC2\xB5s");
}

// With several processes drawn, each row's name says its process; the
// title names each process once.
TEST(TimelineSvg, RowsOfSeveralProcessesAreNamedAfterTheirProcess) {
    json events = json::array();
    events.push_back(metadata(1, 0, "process_name", {{"name", "backup job 7"}}));
    events.push_back(metadata(1, 1, "thread_name", {{"name", "stream 1"}}));
    events.push_back(complete(1, 1, "data", 0, 10));
    events.push_back(complete(1, 2, "data", 0, 10));
    events.push_back(complete(2, 5, "read", 0, 2000000));
    const std::string svg = timelineSvg(events);
    EXPECT_NE(svg.find("<title>Timeline of backup job 7, process 2: 3 streams, 2 s</title>"),
              std::string::npos)
        << svg;
    EXPECT_NE(svg.find("data-name=\"backup job 7: stream 1\""), std::string::npos);
    EXPECT_NE(svg.find("data-name=\"backup job 7: thread 2\""), std::string::npos);
    EXPECT_NE(svg.find("data-name=\"process 2: thread 5\""), std::string::npos);

    // One process: the rows go by their own names.
    const std::string one = timelineSvg(json::array({complete(1, 4, "data", 0, 10)}));
    EXPECT_NE(one.find("data-name=\"thread 4\""), std::string::npos) << one;
    EXPECT_NE(one.find("Timeline of process 1: 1 stream, "), std::string::npos) << one;
}
