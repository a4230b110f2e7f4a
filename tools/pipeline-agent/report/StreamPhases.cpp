#include "report/StreamPhases.h"

const char* phaseName(Phase phase) {
    switch (phase) {
    case Phase::Idle: return "idle";
    case Phase::SetUp: return "set-up";
    case Phase::Pause: return "pause";
    case Phase::Data: return "data";
    case Phase::Close: return "close";
    case Phase::Open: return "open";
    case Phase::Seek: return "seek";
    case Phase::Read: return "read";
    case Phase::ClosingWait: return "closing wait";
    }
    return "?";
}

namespace {

std::chrono::nanoseconds steadyNow() { return std::chrono::steady_clock::now().time_since_epoch(); }

}  // namespace

const char* jobKindName(JobKind kind) {
    switch (kind) {
    case JobKind::Backup: return "backup";
    case JobKind::Restore: return "restore";
    case JobKind::Copy: return "copy";
    }
    return "job";
}

StreamPhases::StreamPhases(JobDescription job, Clock clock, RateLimit::Sleep sleep)
    : m_job(job),
      m_clock(clock ? std::move(clock) : Clock(steadyNow)),
      m_start(m_clock()),
      m_phases(job.streams, Phase::Idle),
      m_bytes(job.streams, 0) {
    if (job.rateLimit != 0) {
        m_pace = std::make_unique<RateLimit>(job.rateLimit, m_clock, std::move(sleep));
    }
}

void StreamPhases::addObserver(PhaseObserver* observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_observers.push_back(observer);
}

JobTime StreamPhases::now() const { return m_clock() - m_start; }

void StreamPhases::enter(unsigned long stream, Phase phase) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ended || stream < 1 || stream > m_phases.size() || m_phases[stream - 1] == phase) {
        return;
    }
    m_phases[stream - 1] = phase;
    const JobTime at = now();
    for (PhaseObserver* observer : m_observers) {
        observer->phaseChanged(stream, phase, at, m_bytes[stream - 1]);
    }
}

void StreamPhases::moved(unsigned long stream, uint64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ended || stream < 1 || stream > m_phases.size() || bytes == 0) return;
        m_bytes[stream - 1] += bytes;
        m_jobBytes += bytes;
        const JobTime at = now();
        for (PhaseObserver* observer : m_observers) {
            observer->bytesMoved(stream, m_bytes[stream - 1], m_jobBytes, at);
        }
    }
    if (m_pace) m_pace->pace(bytes);
}

void StreamPhases::stopPacing() {
    if (m_pace) m_pace->release();
}

void StreamPhases::tick() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ended) return;
    const JobTime at = now();
    for (PhaseObserver* observer : m_observers) observer->tick(at);
}

void StreamPhases::end() {
    stopPacing();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ended) return;
    m_ended = true;
    const JobTime at = now();
    for (unsigned long k = 1; k <= m_phases.size(); ++k) {
        if (m_phases[k - 1] == Phase::Idle) continue;
        m_phases[k - 1] = Phase::Idle;
        for (PhaseObserver* observer : m_observers) {
            observer->phaseChanged(k, Phase::Idle, at, m_bytes[k - 1]);
        }
    }
    for (PhaseObserver* observer : m_observers) observer->jobEnded(at);
}

Phase StreamPhases::phaseOf(unsigned long stream) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return stream >= 1 && stream <= m_phases.size() ? m_phases[stream - 1] : Phase::Idle;
}
