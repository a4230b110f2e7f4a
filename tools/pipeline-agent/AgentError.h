#pragma once

#include <stdexcept>
#include <string>

// A failure that ends a command with a one-line message. Bad input (a
// missing file, a foreign manifest, a wrong store) exits with 2, a failed job
// with 1.
class AgentError : public std::runtime_error {
public:
    enum class Kind { BadInput, JobFailed };

    AgentError(Kind kind, const std::string& message)
        : std::runtime_error(message), m_kind(kind) {}

    int exitCode() const { return m_kind == Kind::BadInput ? 2 : 1; }

private:
    Kind m_kind;
};

inline AgentError badInput(const std::string& message) {
    return AgentError(AgentError::Kind::BadInput, message);
}

inline AgentError jobFailed(const std::string& message) {
    return AgentError(AgentError::Kind::JobFailed, message);
}
