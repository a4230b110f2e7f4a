#include "report/TraceRecorder.h"

#include <nlohmann/json.hpp>

#include "outputs/OutputFile.h"

using Json = nlohmann::ordered_json;

namespace {

double microseconds(JobTime time) {
    return std::chrono::duration<double, std::micro>(time).count();
}

}  // namespace

TraceRecorder::TraceRecorder(const JobDescription& job) : m_job(job), m_open(job.streams) {}

void TraceRecorder::close(unsigned long stream, JobTime at) {
    Open& open = m_open[stream - 1];
    if (open.phase != Phase::Idle) {
        m_spans.push_back({stream, open.phase, open.start, at, open.bytes - open.startBytes});
    }
    open.phase = Phase::Idle;
}

void TraceRecorder::phaseChanged(unsigned long stream, Phase phase, JobTime at,
                                 uint64_t streamBytes) {
    if (stream < 1 || stream > m_open.size()) return;
    close(stream, at);
    Open& open = m_open[stream - 1];
    open.phase = phase;
    open.start = at;
    open.bytes = streamBytes;
    open.startBytes = streamBytes;
}

void TraceRecorder::bytesMoved(unsigned long stream, uint64_t streamBytes, uint64_t, JobTime) {
    if (stream >= 1 && stream <= m_open.size()) m_open[stream - 1].bytes = streamBytes;
}

void TraceRecorder::jobEnded(JobTime at) {
    for (unsigned long k = 1; k <= m_open.size(); ++k) close(k, at);
}

std::string TraceRecorder::json() const {
    const std::string kind = jobKindName(m_job.kind);
    const std::string jobId = std::to_string(m_job.jobId);
    Json events = Json::array();
    events.push_back({{"name", "process_name"},
                      {"ph", "M"},
                      {"pid", 1},
                      {"args", {{"name", kind + " job " + jobId}}}});
    for (unsigned long k = 1; k <= m_job.streams; ++k) {
        events.push_back({{"name", "thread_name"},
                          {"ph", "M"},
                          {"pid", 1},
                          {"tid", k},
                          {"args", {{"name", "stream " + std::to_string(k)}}}});
        events.push_back({{"name", "thread_sort_index"},
                          {"ph", "M"},
                          {"pid", 1},
                          {"tid", k},
                          {"args", {{"sort_index", k}}}});
    }
    for (const Span& span : m_spans) {
        Json args = {{"job", jobId}};
        if (span.bytes > 0 || span.phase == Phase::Data || span.phase == Phase::Read) {
            args["bytes"] = span.bytes;
        }
        if (m_job.kind != JobKind::Restore && span.phase == Phase::Pause) {
            args["why"] = "the mandated 2 s pause after the stream's archive file is created";
        }
        events.push_back({{"name", phaseName(span.phase)},
                          {"cat", kind},
                          {"ph", "X"},
                          {"ts", microseconds(span.start)},
                          {"dur", microseconds(span.end - span.start)},
                          {"pid", 1},
                          {"tid", span.stream},
                          {"args", args}});
    }
    const Json trace = {{"traceEvents", events}, {"displayTimeUnit", "ms"}};
    return trace.dump(1) + "\n";
}

void TraceRecorder::write(const std::string& path) const {
    OutputFile file(path, OutputFile::Options{});
    file.append(json());
    file.commit();
}
