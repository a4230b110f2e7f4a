#pragma once

#include <nlohmann/json.hpp>

#include <mutex>
#include <string>

// What --json prints: one JSON document on stdout at the end of a command,
// for scripts; the human lines stay on stderr. The command adds its fields
// as it learns them; main prints the document once, with "ok": true, or, when
// the command fails, what it has so far with "ok": false, the error and the
// exit code. The fields keep the order in which they were added.
class JsonReport {
public:
    // A disabled report takes fields and prints nothing.
    explicit JsonReport(bool enabled);

    bool enabled() const { return m_enabled; }
    // The command the document is about; null in it until set.
    void setCommand(const std::string& command);
    // Adds each of the object's fields, replacing one of the same name.
    // Thread-safe.
    void add(const nlohmann::ordered_json& fields);
    // Prints {"ok": true, "command": ..., fields...} and a newline on stdout,
    // unless a document was printed already. Thread-safe.
    void printSuccess();
    // Prints {"ok": false, "command": ..., fields..., "error": error,
    // "exitCode": exitCode, "log": log or null}, unless a document was
    // printed already. Thread-safe; for the signal thread too.
    void printFailure(const std::string& error, int exitCode, const std::string& log);

private:
    nlohmann::ordered_json commandJson() const;
    void print(nlohmann::ordered_json document);

    const bool m_enabled;
    std::mutex m_mutex;
    std::string m_command;
    nlohmann::ordered_json m_fields = nlohmann::ordered_json::object();
    bool m_printed = false;
};
