#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/RateLimit.h"

// What a stream of a job is doing. A backup stream is set up, pauses the
// mandated 2 s after its archive file is created, writes its data and is
// closed; a restore stream is opened, sought, read and closed, and its close
// waits for the media side's last messages. Idle: none of these (between
// them, or done).
enum class Phase { Idle, SetUp, Pause, Data, Close, Open, Seek, Read, ClosingWait };

// The phase's name in traces and pictures: "set-up", "pause", "data",
// "close", "open", "seek", "read", "closing wait" ("idle" for Idle).
const char* phaseName(Phase phase);

// A copy writes its streams as a backup does: set up, pause, data, close.
enum class JobKind { Backup, Restore, Copy };
// "backup", "restore", "copy".
const char* jobKindName(JobKind kind);

// What observers are told about the job before anything happens.
struct JobDescription {
    JobKind kind = JobKind::Backup;
    unsigned long long jobId = 0;
    unsigned long streams = 0;  // streams 1..streams
    uint64_t totalBytes = 0;    // the data the streams move, all of them
    bool totalKnown = true;     // false: a stream input's length is known at its end only;
                                // totalBytes is then what is known before
    uint64_t rateLimit = 0;     // bytes per second for every stream together; 0: none
};

// A time on the job's monotonic clock, since the job began.
using JobTime = std::chrono::nanoseconds;

// Told of every phase change and every byte a stream moves. Calls are
// serialised by StreamPhases (never two at once), but come from any of the
// job's threads.
class PhaseObserver {
public:
    virtual ~PhaseObserver() = default;
    // Stream `stream` enters `phase` at `at`, having moved streamBytes so far.
    virtual void phaseChanged(unsigned long stream, Phase phase, JobTime at,
                              uint64_t streamBytes) = 0;
    // Stream `stream` moved more data: streamBytes in all so far, jobBytes
    // for every stream together.
    virtual void bytesMoved(unsigned long stream, uint64_t streamBytes, uint64_t jobBytes,
                            JobTime at) = 0;
    // Nothing happened; the time is `at` (for redraws and periodic lines).
    virtual void tick(JobTime) {}
    // The job is over: every stream is Idle from `at`.
    virtual void jobEnded(JobTime) {}
};

// The one place the job's stream code reports to: stamps each report with
// the job's monotonic clock and hands it to the observers. Thread-safe: any
// thread may call any operation; the observers are called under one lock,
// in the order they were added. Cheap: a lock and a clock read per call.
class StreamPhases {
public:
    // A monotonic clock; the default is std::chrono::steady_clock.
    using Clock = std::function<std::chrono::nanoseconds()>;

    // With job.rateLimit, moved() paces the streams by a RateLimit on clock
    // that waits with sleep (the default sleeps).
    explicit StreamPhases(JobDescription job, Clock clock = {}, RateLimit::Sleep sleep = {});
    StreamPhases(const StreamPhases&) = delete;
    StreamPhases& operator=(const StreamPhases&) = delete;

    const JobDescription& job() const { return m_job; }
    // Adds an observer, which must outlive this object or the job's end.
    // Before the first report only.
    void addObserver(PhaseObserver* observer);

    // Stream k (1..streams) enters `phase`; nothing when it is in it already.
    // Reports after end() and streams out of range are ignored.
    void enter(unsigned long stream, Phase phase);
    // Stream k moved `bytes` more. With a rate limit, then waits, outside
    // the lock, while the job's bytes are ahead of it (RateLimit::pace).
    void moved(unsigned long stream, uint64_t bytes);
    // The job is stopping: a wait of moved() ends within RateLimit::kStep,
    // and none begins. end() does it too.
    void stopPacing();
    // Tells the observers the time, without a change.
    void tick();
    // Ends the job: every stream goes Idle. Once; later calls do nothing.
    void end();
    // Stream k's phase now.
    Phase phaseOf(unsigned long stream) const;

private:
    JobTime now() const;

    const JobDescription m_job;
    const Clock m_clock;
    const std::chrono::nanoseconds m_start;
    mutable std::mutex m_mutex;
    std::vector<PhaseObserver*> m_observers;
    std::vector<Phase> m_phases;    // [stream-1]
    std::vector<uint64_t> m_bytes;  // [stream-1]
    uint64_t m_jobBytes = 0;
    bool m_ended = false;
    std::unique_ptr<RateLimit> m_pace;  // with a rate limit
};
