#include "report/JobReport.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "base/AgentError.h"
#include "base/Console.h"

namespace {

constexpr std::chrono::milliseconds kTick{250};

unsigned terminalColumns() {
    struct winsize size {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace

ProgressOutput stderrProgress(const localplatform::Config& config) {
    ProgressOutput output;
    output.terminal =
        ::isatty(STDERR_FILENO) == 1 && config.stderrLevel == localplatform::kLogNothing;
    if (output.terminal) output.columns = terminalColumns();
    output.write = [](const std::string& text) {
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    };
    return output;
}

JobReport::JobReport(const JobDescription& job, bool showProgress, ProgressOutput output,
                     std::string tracePath)
    : m_phases(job), m_kind(job.kind), m_tracePath(std::move(tracePath)), m_library(m_phases) {
    if (showProgress) {
        m_progress = std::make_unique<ProgressLine>(job, std::move(output));
        m_phases.addObserver(m_progress.get());
    }
    if (!m_tracePath.empty()) {
        m_trace = std::make_unique<TraceRecorder>(job);
        m_phases.addObserver(m_trace.get());
    }
    if (m_progress) {
        m_ticker = std::thread([this] {
            std::unique_lock<std::mutex> lock(m_mutex);
            while (!m_wake.wait_for(lock, kTick, [this] { return m_stop; })) {
                lock.unlock();
                try {
                    m_phases.tick();
                } catch (...) {
                    // No memory to draw the line now: the next tick tries again.
                }
                lock.lock();
            }
        });
    }
}

JobReport::~JobReport() {
    if (m_finished) return;
    try {
        finish();
    } catch (const std::exception& error) {
        say("warning: %s", error.what());
    }
}

void JobReport::end() {
    if (m_ended) return;
    m_ended = true;
    m_library.callEnded();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_ticker.joinable()) m_ticker.join();
    m_phases.end();
    m_progress.reset();  // clears the live line before anything else is said
}

void JobReport::finish() {
    if (m_finished) return;
    m_finished = true;
    end();
    if (!m_trace) return;
    try {
        m_trace->write(m_tracePath);
    } catch (const std::exception& error) {
        throw jobFailed(std::string("the ") + jobKindName(m_kind) +
                        " is complete, but its trace was not written: " + error.what());
    }
    say("trace of the job's streams: %s", m_tracePath.c_str());
}
