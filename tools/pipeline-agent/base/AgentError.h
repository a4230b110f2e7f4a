#pragma once

#include <stdexcept>
#include <string>

// A failure that ends a command with a one-line message. Bad input (a
// missing file, a foreign manifest, a wrong store) exits with 2, a failed job
// with 1, a job stopped by a signal with 128 + the signal, work done in part
// (a complete backup whose expiry failed, an expiry that skipped jobs in use)
// with 3.
class AgentError : public std::runtime_error {
public:
    enum class Kind { BadInput, JobFailed, Interrupted, PartlyDone, StopsRecovery };

    AgentError(Kind kind, const std::string& message, int signal = 0)
        : std::runtime_error(message), m_kind(kind), m_signal(signal) {}

    Kind kind() const { return m_kind; }
    // A failure that says nothing (notFound): only its exit code tells it.
    bool quiet() const { return what()[0] == '\0'; }
    int exitCode() const {
        switch (m_kind) {
        case Kind::BadInput: return 2;
        case Kind::JobFailed: return 1;
        case Kind::Interrupted: return 128 + m_signal;
        case Kind::PartlyDone: return 3;
        case Kind::StopsRecovery: return 126;
        }
        return 1;
    }

private:
    Kind m_kind;
    int m_signal;
};

inline AgentError badInput(const std::string& message) {
    return AgentError(AgentError::Kind::BadInput, message);
}

inline AgentError jobFailed(const std::string& message) {
    return AgentError(AgentError::Kind::JobFailed, message);
}

// Exit 1 with no line: what a restore_command answers for a file that the
// archive does not have, which PostgreSQL asks for in the normal course.
inline AgentError quietlyAbsent() {
    return AgentError(AgentError::Kind::JobFailed, "");
}
// A restore_command's failure that PostgreSQL must not take for a file the
// archive lacks (which would end its recovery early, short of WAL the
// archive holds): exit 126, on which the server stops recovery instead.
inline AgentError stopsRecovery(const std::string& message) {
    return AgentError(AgentError::Kind::StopsRecovery, message);
}
inline AgentError partlyDone(const std::string& message) {
    return AgentError(AgentError::Kind::PartlyDone, message);
}

inline AgentError interrupted(int signal, const std::string& message) {
    return AgentError(AgentError::Kind::Interrupted, message, signal);
}
