#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/local/Config.h"
#include "report/LibraryPhases.h"
#include "report/ProgressLine.h"
#include "report/StreamPhases.h"
#include "report/TraceRecorder.h"

// The progress output on the agent's stderr: a terminal's live line when
// stderr is one and the log is not copied there too (-v), else plain lines.
ProgressOutput stderrProgress(const localplatform::Config& config);

// Everything that reports on one job's streams: the phases the stream code
// reports to, the progress line (unless -q), the trace (when a path is
// given) and the library's phases. A thread wakes the progress line now and
// then, so that it moves on while nothing happens (a pause, a close).
//
// Thread rules: made, finished and destroyed on the job's thread; phases()
// may be used from any thread.
class JobReport {
public:
    // tracePath: where the trace goes, checked before (requireNewFilePlace);
    // empty: none.
    JobReport(const JobDescription& job, bool showProgress, ProgressOutput output,
              std::string tracePath);
    // Without finish(): ends the report all the same, writing the trace if
    // it can (a failed job's trace shows where it stopped); says so if not.
    ~JobReport();
    JobReport(const JobReport&) = delete;
    JobReport& operator=(const JobReport&) = delete;

    StreamPhases& phases() { return m_phases; }
    LibraryPhases& library() { return m_library; }

    // Ends the job's streams: every stream Idle, the progress line cleared.
    // Later reports are dropped. Once; finish() calls it too.
    void end();
    // Ends the report of a job that is complete: end(), then the trace
    // written. Once. Throws AgentError (a failed job) when the trace cannot
    // be written, saying that the job itself is complete.
    void finish();

private:
    StreamPhases m_phases;
    std::unique_ptr<ProgressLine> m_progress;
    std::unique_ptr<TraceRecorder> m_trace;
    const JobKind m_kind;
    const std::string m_tracePath;
    LibraryPhases m_library;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_ended = false;
    bool m_finished = false;
    std::thread m_ticker;
};
