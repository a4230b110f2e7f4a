#include "report/ScanProgress.h"

#include <cstdio>
#include <utility>

namespace {

constexpr std::chrono::milliseconds kTerminalTick{250};
constexpr std::chrono::seconds kPlainTick{5};

std::string mebibytes(unsigned long long bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace

ScanProgress::ScanProgress(std::string label, ProgressOutput output, Clock clock)
    : m_label(std::move(label)),
      m_output(std::move(output)),
      m_clock(clock ? std::move(clock) : [] { return std::chrono::steady_clock::now(); }),
      m_start(m_clock()),
      m_last(m_start) {}

ScanProgress::~ScanProgress() {
    if (m_drawn && m_output.write) m_output.write("\r\033[K");
}

std::string ScanProgress::line(unsigned long long bytesRead, const std::string& file) const {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(m_clock() - m_start).count();
    std::string text = m_label + ": " + mebibytes(bytesRead) + " read in " +
                       std::to_string(seconds) + " s; reading " + file;
    return text;
}

void ScanProgress::update(unsigned long long bytesRead, const std::string& file) {
    if (!m_output.write) return;
    const auto now = m_clock();
    if (m_output.terminal) {
        if (m_drawn && now - m_last < kTerminalTick) return;
        std::string text = line(bytesRead, file);
        if (m_output.columns > 1 && text.size() >= m_output.columns) {
            text.resize(m_output.columns - 1);
        }
        m_output.write("\r\033[K" + text);
        m_drawn = true;
    } else {
        if (now - m_last < kPlainTick) return;
        m_output.write("pipeline-agent: progress: " + line(bytesRead, file) + "\n");
    }
    m_last = now;
}
