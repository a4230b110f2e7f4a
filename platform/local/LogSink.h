#pragma once

#include <string>

#include "platform/local/LocalPlatform.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// Where log lines go, built once from the configuration: stderr, or a file
// opened for appending at construction. Each line is written with a single
// write(), so that lines of concurrent threads and processes never
// interleave. Safe to use from several threads.
class LogSink {
public:
    // Throws std::runtime_error when the configured log file cannot be opened.
    explicit LogSink(const Config& config);
    ~LogSink();

    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    // Writes one line stamped with time, process, thread, level and job id,
    // unless the level holds it back. level is ignored for errors.
    void write(bool isError, int level, unsigned long long jobId, const std::string& text) const;

private:
    int m_fd;
    bool m_ownsFd;
    int m_level;
};

}  // namespace localplatform

#pragma GCC visibility pop
