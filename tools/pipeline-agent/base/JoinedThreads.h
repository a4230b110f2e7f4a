#pragma once

#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/AgentError.h"

// The threads a job starts for its streams. Each runs its work and keeps
// what escapes it (running out of memory, as a rule), where the exception
// would end the process; join() hands the first such back. Every thread is
// joined however the scope that started them ends: a std::thread destroyed
// unjoined ends the process as well.
class JoinedThreads {
public:
    JoinedThreads() = default;
    JoinedThreads(const JoinedThreads&) = delete;
    JoinedThreads& operator=(const JoinedThreads&) = delete;
    ~JoinedThreads() { join(); }

    // Runs work on a thread of its own. Returns null, or why no thread
    // could be started (AgentError, failed job, naming `what`); the threads
    // started before go on.
    template <typename Work>
    [[nodiscard]] std::exception_ptr start(const std::string& what, Work work) {
        try {
            m_threads.emplace_back([this, work = std::move(work)]() mutable {
                try {
                    work();
                } catch (...) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    if (!m_escaped) m_escaped = std::current_exception();
                }
            });
            return nullptr;
        } catch (const std::system_error& error) {
            return std::make_exception_ptr(
                jobFailed("cannot start a thread for " + what + ": " + error.what()));
        } catch (...) {
            return std::current_exception();
        }
    }

    // Waits for every thread. Returns what escaped one, if anything did.
    std::exception_ptr join() {
        for (std::thread& thread : m_threads) {
            if (thread.joinable()) thread.join();
        }
        return m_escaped;
    }

private:
    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::exception_ptr m_escaped;  // under m_mutex while threads run
};
