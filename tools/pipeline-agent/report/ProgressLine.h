#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/Console.h"
#include "report/StreamPhases.h"

// Where the progress goes and how it is shown.
struct ProgressOutput {
    // A terminal: one line redrawn in place. Otherwise a plain line now and
    // then, each starting with "pipeline-agent: progress: ".
    bool terminal = false;
    // The terminal's width: a live line is cut to fit, so that it never
    // wraps (a wrapped line cannot be redrawn in place).
    unsigned columns = 80;
    // Writes bytes to stderr as they are.
    std::function<void(const std::string&)> write;
};

// The job's progress for an operator: bytes done, rate, time left (for a
// backup, the pauses still to come included) and what the streams are
// doing, for example
//   backup: 12.0 MiB of 40.0 MiB (30%), 8.0 MiB/s, ETA 0:04; setting up stream 3 of 5,
//   writing 2 streams
// with a rate limit, "8.0 MiB/s (limit 8.0 MiB/s)" ("limit 8.0 MiB/s" before
// the first second of data).
// On a terminal it is drawn in place ("\r", the line, clear to its end) when
// a stream enters a phase and at most every kRedrawEvery otherwise, and it is the
// live line that say() prints above; the destructor clears it. Elsewhere a
// plain line is printed every kPlainEvery.
//
// Thread rules: the observer calls come serialised from StreamPhases; the
// drawing takes stderrLock() (never the other way round).
class ProgressLine : public PhaseObserver, public LiveLine {
public:
    static constexpr std::chrono::milliseconds kRedrawEvery{100};
    static constexpr std::chrono::seconds kPlainEvery{5};

    ProgressLine(const JobDescription& job, ProgressOutput output);
    ~ProgressLine() override;
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // The line's text at time `at`, without "pipeline-agent: ".
    std::string text(JobTime at) const;
    // The same in at most width characters: the least useful parts are
    // left out first, and words are never cut.
    std::string text(JobTime at, std::size_t width) const;

    void phaseChanged(unsigned long stream, Phase phase, JobTime at, uint64_t streamBytes) override;
    void bytesMoved(unsigned long stream, uint64_t streamBytes, uint64_t jobBytes,
                    JobTime at) override;
    void tick(JobTime at) override;
    void jobEnded(JobTime at) override;

    void clearLocked() override;
    void redrawLocked() override;

private:
    // The parts of the line: the bytes, then, each empty when unknown, the
    // rate and the time left (each with its leading ", "), then what the
    // streams do.
    struct Pieces {
        std::string head, rate, eta;
        std::vector<std::string> activity;
    };
    Pieces piecesAt(JobTime at) const;
    void show(JobTime at, bool now);
    std::vector<std::string> activity() const;
    // Seconds the backup's pauses still need: each stream's not yet begun
    // as long as the last one took (2 s until one ended), and what is left
    // of the one running.
    double pausesLeft(JobTime at) const;

    const JobDescription m_job;
    const ProgressOutput m_output;
    std::vector<Phase> m_phases;  // [stream-1]
    uint64_t m_done = 0;
    bool m_moving = false;  // a byte has moved
    JobTime m_firstByte{0};
    unsigned long m_pausesBegun = 0;
    unsigned long m_pausing = 0;  // the stream in its pause; 0: none
    JobTime m_pauseStart{0};
    JobTime m_lastPause{std::chrono::seconds(2)};
    JobTime m_lastShown{0};
    bool m_shownOnce = false;
    bool m_ended = false;
    // Under stderrLock(): what the terminal shows; empty: nothing, or not
    // drawn again once the job ended.
    std::string m_drawn;
};

// "512 B", "1.5 KiB", "12.0 MiB", "3.2 GiB".
std::string formatBytes(double bytes);
// "0:07", "12:30", "1:02:03".
std::string formatDuration(std::chrono::seconds duration);
