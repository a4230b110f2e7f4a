// The trace of a job's streams: what the recorder makes of the phases the
// stream code reports (fake clock), the library phases read from the
// platform's steps, and the SVG drawn from a trace.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "base/AgentError.h"
#include "platform/FsrMessages.h"
#include "platform/local/StepHooks.h"
#include "report/JobReport.h"
#include "report/LibraryPhases.h"
#include "report/StreamPhases.h"
#include "report/TimelineSvg.h"
#include "report/TraceRecorder.h"

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// Records every phase change it is told of, as "stream:phase".
class PhaseLog : public PhaseObserver {
public:
    std::vector<std::string> changes;
    void phaseChanged(unsigned long stream, Phase phase, JobTime, uint64_t) override {
        changes.push_back(std::to_string(stream) + ":" + phaseName(phase));
    }
    void bytesMoved(unsigned long, uint64_t, uint64_t, JobTime) override {}
};

std::vector<json> completeEvents(const json& trace) {
    std::vector<json> found;
    for (const json& event : trace.at("traceEvents")) {
        if (event.at("ph") == "X") found.push_back(event);
    }
    return found;
}

TEST(TraceRecorder, WritesEachPhaseAsACompleteEventInMicroseconds) {
    std::chrono::nanoseconds now = 1000s;  // the clock's epoch is not the job's
    StreamPhases phases({JobKind::Backup, 1234567890123456789ULL, 2, 300}, [&] { return now; });
    TraceRecorder trace(phases.job());
    phases.addObserver(&trace);
    now += 1500ns;
    phases.enter(1, Phase::SetUp);
    now += 10ms;
    phases.enter(1, Phase::Pause);
    phases.enter(1, Phase::Pause);  // no change: no new span
    now += 2s;
    phases.enter(1, Phase::Data);
    phases.enter(2, Phase::SetUp);
    phases.moved(1, 100);
    phases.moved(1, 100);
    phases.moved(2, 7);  // bytes of a stream in set-up count for that span
    now += 1ms;
    phases.enter(1, Phase::Idle);
    phases.enter(1, Phase::Close);
    phases.enter(3, Phase::Data);  // no such stream: dropped
    now += 5ms;
    phases.end();
    phases.enter(2, Phase::Close);  // after the end: dropped

    const json document = json::parse(trace.json());
    EXPECT_EQ(document.at("displayTimeUnit"), "ms");
    const std::vector<json> spans = completeEvents(document);
    ASSERT_EQ(spans.size(), 5u) << document.dump(1);
    struct Expected {
        int tid;
        const char* name;
        double ts, dur;
        int bytes;  // -1: none recorded
    };
    const Expected expected[] = {{1, "set-up", 1.5, 10000, -1},
                                 {1, "pause", 10001.5, 2000000, -1},
                                 {1, "data", 2010001.5, 1000, 200},
                                 {1, "close", 2011001.5, 5000, -1},
                                 {2, "set-up", 2010001.5, 6000, 7}};
    std::map<std::pair<int, std::string>, json> byKey;
    for (const json& span : spans) byKey[{span.at("tid"), span.at("name")}] = span;
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.name);
        const json& span = byKey.at({e.tid, e.name});
        EXPECT_EQ(span.at("cat"), "backup");
        EXPECT_EQ(span.at("pid"), 1);
        EXPECT_DOUBLE_EQ(span.at("ts").get<double>(), e.ts);
        EXPECT_DOUBLE_EQ(span.at("dur").get<double>(), e.dur);
        EXPECT_EQ(span.at("args").at("job"), "1234567890123456789");
        if (e.bytes >= 0) {
            EXPECT_EQ(span.at("args").at("bytes"), e.bytes);
        } else {
            EXPECT_FALSE(span.at("args").contains("bytes"));
        }
    }
    EXPECT_TRUE(byKey.at({1, "pause"}).at("args").contains("why"));

    // The metadata names the job and a thread per stream, in stream order.
    std::map<std::string, std::string> names;
    for (const json& event : document.at("traceEvents")) {
        if (event.at("ph") != "M") continue;
        const std::string key = event.at("name").get<std::string>() + "/" +
                                (event.contains("tid") ? event.at("tid").dump() : "-");
        names[key] = event.at("args").dump();
    }
    EXPECT_EQ(names.at("process_name/-"), R"({"name":"backup job 1234567890123456789"})");
    EXPECT_EQ(names.at("thread_name/1"), R"({"name":"stream 1"})");
    EXPECT_EQ(names.at("thread_name/2"), R"({"name":"stream 2"})");
    EXPECT_EQ(names.at("thread_sort_index/2"), R"({"sort_index":2})");
}

TEST(TraceRecorder, WritesTheFileWholeAndNeverOverAnother) {
    const std::string directory =
        std::string(AGENT_TEST_TMP) + "/trace-" + std::to_string(::getpid());
    std::filesystem::create_directories(directory);
    StreamPhases phases({JobKind::Restore, 7, 1, 0});
    TraceRecorder trace(phases.job());
    phases.addObserver(&trace);
    phases.enter(1, Phase::Open);
    phases.end();
    const std::string path = directory + "/t.json";
    trace.write(path);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), trace.json());
    EXPECT_THROW(trace.write(path), AgentError);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory),
                            std::filesystem::directory_iterator()),
              1)
        << "nothing else left in the directory";
    std::filesystem::remove_all(directory);
}

// A trace that cannot be written fails the run, and says that the job
// itself is complete; what was there stays as it was.
TEST(JobReport, ATraceNotWrittenSaysTheJobIsComplete) {
    const std::string path =
        std::string(AGENT_TEST_TMP) + "/taken-" + std::to_string(::getpid()) + ".json";
    std::ofstream(path) << "another's";
    JobReport report({JobKind::Restore, 7, 1, 0}, false, ProgressOutput{}, path);
    report.phases().enter(1, Phase::Open);
    try {
        report.finish();
        ADD_FAILURE() << "the trace was written over another file";
    } catch (const AgentError& error) {
        EXPECT_EQ(error.exitCode(), 1);
        EXPECT_EQ(std::string(error.what())
                      .rfind("the restore is complete, but its trace was not written: ", 0),
                  0u)
            << error.what();
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "another's");
    std::filesystem::remove(path);
}

TEST(StreamPhases, ReportsFromManyThreadsAllArrive) {
    StreamPhases phases({JobKind::Restore, 1, 4, 0});
    TraceRecorder trace(phases.job());
    phases.addObserver(&trace);
    std::vector<std::thread> threads;
    for (unsigned long k = 1; k <= 4; ++k) {
        threads.emplace_back([&phases, k] {
            for (int i = 0; i < 100; ++i) {
                phases.enter(k, Phase::Read);
                phases.moved(k, 3);
                phases.enter(k, Phase::Idle);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    phases.end();
    ASSERT_EQ(trace.spans().size(), 400u);
    for (const TraceRecorder::Span& span : trace.spans()) {
        EXPECT_EQ(span.bytes, 3u);
        EXPECT_LE(span.start, span.end);
    }
}

TEST(PlatformSteps, TheObserverSetIsToldEveryStepUntilReplaced) {
    std::vector<std::string> steps;
    localplatform::setStepObserver([&steps](const char* step, unsigned long detail) {
        steps.push_back(std::string(step) + "/" + std::to_string(detail));
    });
    localplatform::crashPoint("openArchiveFile");
    localplatform::crashPoint("SendXDRMessage", FSR_MSG_CLOSE_ARCHIVE);
    localplatform::setStepObserver({});
    localplatform::crashPoint("readBuffer");
    EXPECT_EQ(steps,
              (std::vector<std::string>{
                  "openArchiveFile/0", "SendXDRMessage/" + std::to_string(FSR_MSG_CLOSE_ARCHIVE)}));
}

TEST(LibraryPhases, ReadsTheBackupCallsPhasesFromThePlatformsSteps) {
    StreamPhases phases({JobKind::Backup, 1, 2, 0});
    PhaseLog log;
    phases.addObserver(&log);
    LibraryPhases library(phases);
    library.backupSetUp(1);
    localplatform::crashPoint("createArchiveFile");
    localplatform::crashPoint("QISLEEP");  // through the platform's observer
    library.callEnded();
    library.backupSetUp(2);
    // Another thread's steps (a restore reader's readBuffer, say) are not
    // the job's call.
    std::thread([] { localplatform::crashPoint("QISLEEP"); }).join();
    EXPECT_EQ(phases.phaseOf(2), Phase::SetUp);
    library.step("QISLEEP", 0);
    library.callEnded();
    localplatform::crashPoint("QISLEEP");  // between calls: nothing
    library.backupClose();
    library.step("closeAfile", 0);
    library.step("closePipeline", 0);
    library.step("closeAfile", 0);
    library.callEnded();
    EXPECT_EQ(log.changes,
              (std::vector<std::string>{"1:set-up", "1:pause", "1:idle", "2:set-up", "2:pause",
                                        "2:idle", "1:close", "1:idle", "2:close", "2:idle"}));
}

TEST(LibraryPhases, ReadsTheRestoreCallsPhasesFromTheMessages) {
    StreamPhases phases({JobKind::Restore, 1, 2, 0});
    PhaseLog log;
    phases.addObserver(&log);
    LibraryPhases library(phases);
    library.restoreSetUp();
    library.step("ZebArchive", 0);
    library.step("openArchiveFile", 0);
    library.step("SendXDRMessage", FSR_MSG_OPEN_ARCHIVE);
    library.step("QISLEEP", 0);  // DelayPipelineSetup: before the next open
    library.step("openArchiveFile", 0);
    library.step("SendXDRMessage", FSR_MSG_OPEN_ARCHIVE);
    library.step("SendXDRMessage", FSR_MSG_SEEK_TO_OFFSET);
    library.step("SendXDRMessage", FSR_MSG_SEEK_TO_OFFSET);
    library.callEnded();
    library.restoreSetUp();  // a later request only seeks
    localplatform::crashPoint("SendXDRMessage", FSR_MSG_SEEK_TO_OFFSET);
    library.callEnded();
    library.restoreClose();
    library.step("SendXDRMessage", FSR_MSG_CLOSE_ARCHIVE);
    library.step("readBuffer", 0);
    library.step("SendXDRMessage", FSR_MSG_CLOSE_ARCHIVE);
    library.callEnded();
    EXPECT_EQ(log.changes,
              (std::vector<std::string>{"1:open", "1:idle", "2:pause", "2:open", "2:idle", "1:seek",
                                        "1:idle", "2:seek", "2:idle", "1:seek", "1:idle",
                                        "1:closing wait", "1:idle", "2:closing wait", "2:idle"}));
}

json sampleTrace(int streams) {
    StreamPhases phases({JobKind::Backup, 99, static_cast<unsigned long>(streams), 0});
    TraceRecorder trace(phases.job());
    phases.addObserver(&trace);
    for (int k = 1; k <= streams; ++k) {
        phases.enter(k, Phase::SetUp);
        phases.enter(k, Phase::Pause);
        phases.enter(k, Phase::Data);
    }
    phases.end();
    return json::parse(trace.json());
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(TimelineSvg, DrawsARowPerStreamABarPerPhaseALegendAndAnAxis) {
    const std::string svg = timelineSvg(sampleTrace(3));
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_EQ(count(svg, "<g class=\"stream-row\""), 3u);
    EXPECT_EQ(count(svg, "<rect class=\"phase\""), 9u);
    EXPECT_EQ(count(svg, "data-phase=\"pause\""), 3u);
    EXPECT_NE(svg.find(">pause (the mandated 2 s)</text>"), std::string::npos);
    EXPECT_NE(svg.find(">stream 3</text>"), std::string::npos);
    EXPECT_NE(svg.find("Timeline of backup job 99: 3 streams"), std::string::npos);
    EXPECT_GE(count(svg, "class=\"tick\""), 2u);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
}

TEST(TimelineSvg, EscapesNamesAndTakesTheBareListForm) {
    json events = json::array();
    events.push_back({{"ph", "M"},
                      {"name", "thread_name"},
                      {"pid", "p"},
                      {"tid", 5},
                      {"args", {{"name", "a<b & \"c\""}}}});
    events.push_back(
        {{"ph", "X"}, {"name", "x<y>"}, {"ts", 0}, {"dur", 10}, {"pid", "p"}, {"tid", 5}});
    events.push_back({{"ph", "B"}, {"name", "ignored"}, {"ts", 0}});
    const std::string svg = timelineSvg(events);
    EXPECT_NE(svg.find(">a&lt;b &amp; &quot;c&quot;</text>"), std::string::npos) << svg;
    EXPECT_NE(svg.find("data-phase=\"x&lt;y&gt;\""), std::string::npos);
    EXPECT_EQ(svg.find("x<y>"), std::string::npos);
    EXPECT_EQ(count(svg, "<g class=\"stream-row\""), 1u);
}

// A phase of a microsecond in a job of two seconds still shows, and every
// phase's length is written as text: in its bar when it fits, after it when
// the next bar leaves room.
TEST(TimelineSvg, ShortPhasesShowAndEveryLengthIsWrittenOut) {
    json events = json::array();
    const auto phase = [&](const char* name, double ts, double dur) {
        events.push_back(
            {{"ph", "X"}, {"name", name}, {"ts", ts}, {"dur", dur}, {"pid", 1}, {"tid", 1}});
    };
    phase("setup", 0, 1);             // 1 µs, then a gap
    phase("pause", 1000000, 1000000);  // 1 s
    phase("close", 2000000, 2);       // 2 µs at the very end: no room after it
    const std::string svg = timelineSvg(events);
    EXPECT_EQ(count(svg, "width=\"3\" height="), 2u) << svg;
    EXPECT_NE(svg.find("text-anchor=\"start\">1 \xC2\xB5s</text>"), std::string::npos) << svg;
    EXPECT_NE(svg.find("text-anchor=\"middle\">1.00 s</text>"), std::string::npos) << svg;
    EXPECT_EQ(count(svg, "class=\"figure\""), 2u) << svg;
}

TEST(TimelineSvg, RefusesWhatIsNoTraceSayingWhy) {
    const auto why = [](const json& document) {
        try {
            timelineSvg(document);
        } catch (const std::invalid_argument& error) {
            return std::string(error.what());
        }
        return std::string("drawn");
    };
    EXPECT_EQ(why(json::object()), "it has no traceEvents list");
    EXPECT_EQ(why(json{{"traceEvents", 3}}), "it has no traceEvents list");
    EXPECT_EQ(why(json("text")), "it has no traceEvents list");
    EXPECT_EQ(why(json{{"traceEvents", json::array({1})}}), "event 1 is not an object");
    EXPECT_EQ(why(json{{"traceEvents", json::array({{{"ph", "X"}, {"ts", 1}}})}}),
              "event 1 is a complete event without numbers ts and dur >= 0");
    EXPECT_EQ(why(json{{"traceEvents", json::array({{{"ph", "X"}, {"ts", "1"}, {"dur", 1}}})}}),
              "event 1 is a complete event without numbers ts and dur >= 0");
    EXPECT_EQ(why(json{{"traceEvents", json::array({{{"ph", "X"}, {"ts", 1}, {"dur", -1}}})}}),
              "event 1 is a complete event without numbers ts and dur >= 0");
    EXPECT_EQ(why(json{{"traceEvents", json::array()}}), "it holds no complete events to draw");
    // Each time is finite, but not the span between them: once an endless
    // axis.
    EXPECT_EQ(why(json{{"traceEvents", json::array({{{"ph", "X"}, {"ts", -1e308}, {"dur", 0}},
                                                    {{"ph", "X"}, {"ts", 1e308}, {"dur", 0}}})}}),
              "its events span more time than can be drawn");
    EXPECT_EQ(why(json{{"traceEvents", json::array({{{"ph", "X"}, {"ts", -1e307}, {"dur", 0}},
                                                    {{"ph", "X"}, {"ts", 1e307}, {"dur", 0}}})}}),
              "drawn");
}

}  // namespace
