#include "report/ProgressLine.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "base/Counted.h"

std::string formatBytes(double bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return std::to_string(static_cast<unsigned long long>(bytes)) + " B";
    int unit = -1;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
    return text;
}

std::string formatDuration(std::chrono::seconds duration) {
    const long long total = duration.count() < 0 ? 0 : duration.count();
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

ProgressLine::ProgressLine(const JobDescription& job, ProgressOutput output)
    : m_job(job), m_output(std::move(output)), m_phases(job.streams, Phase::Idle) {
    if (m_output.terminal) {
        std::lock_guard<std::mutex> lock(stderrLock());
        liveLine() = this;
    }
}

ProgressLine::~ProgressLine() {
    if (!m_output.terminal) return;
    std::lock_guard<std::mutex> lock(stderrLock());
    if (liveLine() != this) return;  // dropped
    clearLocked();
    m_drawn.clear();
    liveLine() = nullptr;
}

std::vector<std::string> ProgressLine::activity() const {
    const bool backup = m_job.kind != JobKind::Restore;
    const std::string of = " of " + std::to_string(m_job.streams);
    std::vector<std::string> parts;
    std::size_t moving = 0;
    for (unsigned long k = 1; k <= m_phases.size(); ++k) {
        const std::string stream = "stream " + std::to_string(k) + of;
        switch (m_phases[k - 1]) {
        case Phase::SetUp: parts.push_back("setting up " + stream); break;
        case Phase::Pause:
            parts.push_back(backup ? stream +
                                         ": the mandated 2 s pause after its archive "
                                         "file was created"
                                   : "pausing before opening " + stream);
            break;
        case Phase::Close:
        case Phase::ClosingWait: parts.push_back("closing " + stream); break;
        case Phase::Open: parts.push_back("opening " + stream); break;
        case Phase::Seek: parts.push_back("seeking " + stream); break;
        case Phase::Data:
        case Phase::Read: ++moving; break;
        case Phase::Idle: break;
        }
    }
    if (moving > 0) parts.push_back((backup ? "writing " : "reading ") + counted(moving, "stream"));
    if (parts.empty()) parts.push_back(m_ended ? "done" : "waiting");
    return parts;
}

std::string ProgressLine::text(JobTime at) const { return text(at, std::string::npos); }

// The line is its head (the bytes), then the rate, the time left and what
// the streams do. What does not fit goes, least useful first: what single
// streams do, then the summary of the streams, the rate, the time left; a
// head that still does not fit is cut at a space, never inside a word.
std::string ProgressLine::text(JobTime at, std::size_t width) const {
    Pieces pieces = piecesAt(at);
    const auto joined = [&pieces] {
        std::string line = pieces.head + pieces.rate + pieces.eta;
        for (std::size_t i = 0; i < pieces.activity.size(); ++i) {
            line += (i == 0 ? "; " : ", ") + pieces.activity[i];
        }
        return line;
    };
    std::string line = joined();
    while (line.size() > width && !pieces.activity.empty()) {
        pieces.activity.erase(pieces.activity.begin());
        line = joined();
    }
    for (std::string* optional : {&pieces.rate, &pieces.eta}) {
        if (line.size() <= width) break;
        optional->clear();
        line = joined();
    }
    if (line.size() > width) {
        const std::size_t space = line.rfind(' ', width);
        line.resize(space == std::string::npos ? 0 : space);
    }
    return line;
}

ProgressLine::Pieces ProgressLine::piecesAt(JobTime at) const {
    Pieces pieces;
    std::string& line = pieces.head;
    line = std::string(jobKindName(m_job.kind)) + ": ";
    const uint64_t total = m_job.totalBytes;
    if (m_job.totalKnown) {
        line += formatBytes(static_cast<double>(m_done)) + " of " +
                formatBytes(static_cast<double>(total));
        const uint64_t percent = total == 0 ? 100 : m_done * 100 / total;
        line += " (" + std::to_string(percent) + "%)";
    } else {
        // A stream's end is not known before it comes: no share, no time left.
        line += formatBytes(static_cast<double>(m_done)) + " so far";
    }
    // The time left is the longer of what the data needs at the rate so far
    // and, for a backup, what the pauses still to come need: with many
    // streams they, not the data, take most of the job.
    double left = pausesLeft(at);
    const auto elapsed = std::chrono::duration<double>(at - m_firstByte).count();
    if (m_moving && elapsed >= 1.0) {
        const double rate = static_cast<double>(m_done) / elapsed;
        pieces.rate = ", " + formatBytes(rate) + "/s";
        if (m_job.totalKnown && rate > 0 && m_done < total) {
            left = std::max(left, static_cast<double>(total - m_done) / rate);
        }
    }
    if (m_job.rateLimit != 0) {
        const std::string limit =
            "limit " + formatBytes(static_cast<double>(m_job.rateLimit)) + "/s";
        pieces.rate = pieces.rate.empty() ? ", " + limit : pieces.rate + " (" + limit + ")";
    }
    if (left > 0) {
        pieces.eta =
            ", ETA " + formatDuration(std::chrono::seconds(static_cast<long long>(left + 0.5)));
    }
    pieces.activity = activity();
    return pieces;
}

double ProgressLine::pausesLeft(JobTime at) const {
    if (m_job.kind == JobKind::Restore) return 0;
    const double pause = std::chrono::duration<double>(m_lastPause).count();
    double left = static_cast<double>(m_job.streams - m_pausesBegun) * pause;
    if (m_pausing != 0) {
        left += std::max(0.0, pause - std::chrono::duration<double>(at - m_pauseStart).count());
    }
    return left;
}

void ProgressLine::show(JobTime at, bool force) {
    if (m_output.terminal) {
        if (!force && m_shownOnce && at - m_lastShown < kRedrawEvery) return;
        // One column short of the width: a line that fills it wraps on some
        // terminals.
        const std::string prefix = "pipeline-agent: ";
        const std::size_t room = m_output.columns > prefix.size() + 1
                                     ? m_output.columns - 1 - prefix.size()
                                     : 0;
        const std::string line = prefix + text(at, room);
        m_lastShown = at;
        m_shownOnce = true;
        std::lock_guard<std::mutex> lock(stderrLock());
        if (liveLine() != this) return;  // dropped: the process is ending
        if (line == m_drawn) return;
        m_drawn = line;
        redrawLocked();
    } else {
        if (at - m_lastShown < kPlainEvery) return;
        m_lastShown = at;
        const std::string line = "pipeline-agent: progress: " + text(at) + "\n";
        std::lock_guard<std::mutex> lock(stderrLock());
        if (liveLine()) liveLine()->clearLocked();
        m_output.write(line);
        if (liveLine()) liveLine()->redrawLocked();
    }
}

void ProgressLine::phaseChanged(unsigned long stream, Phase phase, JobTime at, uint64_t) {
    if (stream < 1 || stream > m_phases.size()) return;
    m_phases[stream - 1] = phase;
    if (phase == Phase::Pause) {
        ++m_pausesBegun;
        m_pausing = stream;
        m_pauseStart = at;
    } else if (stream == m_pausing) {
        m_lastPause = at - m_pauseStart;
        m_pausing = 0;
    }
    // A stream going idle is drawn with the next change: in a library call
    // over the streams, the next stream's phase follows at once.
    if (!m_ended) show(at, phase != Phase::Idle);
}

void ProgressLine::bytesMoved(unsigned long, uint64_t, uint64_t jobBytes, JobTime at) {
    if (!m_moving) {
        m_moving = true;
        m_firstByte = at;
    }
    m_done = jobBytes;
    show(at, false);
}

void ProgressLine::tick(JobTime at) { show(at, false); }

void ProgressLine::jobEnded(JobTime) {
    m_ended = true;
    if (!m_output.terminal) return;
    std::lock_guard<std::mutex> lock(stderrLock());
    if (liveLine() != this) return;  // dropped
    clearLocked();
    m_drawn.clear();  // not drawn again
}

// m_drawn stays: redrawLocked draws it again after the line printed above.
void ProgressLine::clearLocked() {
    if (!m_drawn.empty()) m_output.write("\r\033[K");
}

void ProgressLine::redrawLocked() {
    if (!m_drawn.empty()) m_output.write("\r" + m_drawn + "\033[K");
}
