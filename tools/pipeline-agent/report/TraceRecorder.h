#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/StreamPhases.h"

// Records every stream's phases as spans and writes them as a trace in the
// Chrome trace-event format (the JSON object form), which Perfetto and
// chrome://tracing open as they are:
//   {"traceEvents": [...], "displayTimeUnit": "ms"}
// with "M" events naming the process (the job) and a thread per stream
// ("stream k"), and one "X" (complete) event per span: name the phase
// (phaseName), cat "backup" or "restore", ts and dur in microseconds from the
// job's start, pid 1 (the job; its id is in the process name and in args),
// tid the stream, args.bytes the data the stream moved in it.
//
// Thread rules: the observer calls come serialised from StreamPhases; json()
// and write() once the job ended (or from the thread that reports).
class TraceRecorder : public PhaseObserver {
public:
    struct Span {
        unsigned long stream = 0;
        Phase phase = Phase::Idle;
        JobTime start{0};
        JobTime end{0};
        uint64_t bytes = 0;  // moved during the span
    };

    explicit TraceRecorder(const JobDescription& job);

    void phaseChanged(unsigned long stream, Phase phase, JobTime at, uint64_t streamBytes) override;
    void bytesMoved(unsigned long stream, uint64_t streamBytes, uint64_t jobBytes,
                    JobTime at) override;
    void jobEnded(JobTime at) override;

    // The spans ended so far, in the order they ended.
    const std::vector<Span>& spans() const { return m_spans; }
    // The trace, as text.
    std::string json() const;
    // Writes the trace to path, which must not exist, so that it appears
    // there only whole (see OutputFile). Throws AgentError.
    void write(const std::string& path) const;

private:
    struct Open {
        Phase phase = Phase::Idle;
        JobTime start{0};
        uint64_t startBytes = 0;
        uint64_t bytes = 0;  // the stream's, so far
    };
    void close(unsigned long stream, JobTime at);

    const JobDescription m_job;
    std::vector<Open> m_open;  // [stream-1]
    std::vector<Span> m_spans;
};
