#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "report/ProgressLine.h"

// How far a long scan of a store (check, check --repair) has read: on a
// terminal one line redrawn in place at most every quarter second, else a
// plain "pipeline-agent: progress: " line every few seconds. For one thread.
class ScanProgress {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // label: what is scanning ("check"). clock: for tests (default: the
    // steady clock).
    ScanProgress(std::string label, ProgressOutput output, Clock clock = nullptr);
    // Clears a line drawn in place.
    ~ScanProgress();
    ScanProgress(const ScanProgress&) = delete;
    ScanProgress& operator=(const ScanProgress&) = delete;

    // Bytes read so far in all, and the file being read: shown when the
    // interval since the last showing has passed.
    void update(unsigned long long bytesRead, const std::string& file);

private:
    std::string line(unsigned long long bytesRead, const std::string& file) const;

    const std::string m_label;
    const ProgressOutput m_output;
    const Clock m_clock;
    const std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_last;
    bool m_drawn = false;
};
