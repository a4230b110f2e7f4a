#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/local/Config.h"
#include "platform/local/storage/Storage.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// Where log lines go, built once from the configuration: stderr, or a file
// opened for appending at construction with a copy of some lines on stderr.
// Each line is written with a single write(), so that lines of concurrent
// threads and processes never interleave. Safe to use from several threads.
class LogSink {
public:
    // Writes to config.logFile (or to stderr when it is empty). Throws
    // std::runtime_error when the log file cannot be opened.
    explicit LogSink(const Config& config);
    // Writes to the file at path with config's levels, whatever
    // config.logFile says. Throws std::runtime_error when it cannot be opened.
    LogSink(const Config& config, const std::string& path);
    // Writes to file (a log of the store, opened through its storage) with
    // config's levels; owns it.
    LogSink(const Config& config, std::unique_ptr<StorageFile> file);
    // Writes to stderr only, as config.stderrLevel lets lines through.
    static LogSink stderrCopyOnly(const Config& config);
    ~LogSink();

    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;
    LogSink(LogSink&& other) noexcept;

    // Writes one line stamped with time, process, thread, level and job id to
    // each target whose level lets it through (see Config::logLevel); a line
    // that the file cannot take goes to stderr instead.
    void write(bool isError, int level, unsigned long long jobId, const std::string& text) const;

    // The file written; empty when only stderr is.
    const std::string& path() const { return m_path; }

private:
    LogSink(int fd, int level, int stderrLevel);
    void openFile(const std::string& path);

    int m_fd;
    bool m_ownsFd;
    int m_level;
    int m_stderrLevel;  // for the copy on stderr when m_fd is a file
    std::string m_path;
    // The store's log, written through its storage instead of m_fd; its
    // appends are taken one at a time.
    std::unique_ptr<StorageFile> m_file;
    std::unique_ptr<std::mutex> m_fileMutex;
};

}  // namespace localplatform

#pragma GCC visibility pop
