#include "report/JsonReport.h"

#include <cstdio>

using nlohmann::ordered_json;

JsonReport::JsonReport(bool enabled) : m_enabled(enabled) {}

void JsonReport::setCommand(const std::string& command) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_command = command;
}

void JsonReport::add(const ordered_json& fields) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [key, value] : fields.items()) m_fields[key] = value;
}

void JsonReport::printSuccess() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ordered_json document = {{"ok", true}, {"command", commandJson()}};
    for (const auto& [key, value] : m_fields.items()) document[key] = value;
    print(std::move(document));
}

void JsonReport::printFailure(const std::string& error, int exitCode, const std::string& log) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ordered_json document = {{"ok", false}, {"command", commandJson()}};
    for (const auto& [key, value] : m_fields.items()) document[key] = value;
    document["error"] = error;
    document["exitCode"] = exitCode;
    document["log"] = log.empty() ? ordered_json(nullptr) : ordered_json(log);
    print(std::move(document));
}

ordered_json JsonReport::commandJson() const {
    return m_command.empty() ? ordered_json(nullptr) : ordered_json(m_command);
}

void JsonReport::print(ordered_json document) {
    if (!m_enabled || m_printed) return;
    m_printed = true;
    // Names and messages come from the file system and need not be UTF-8:
    // such bytes are replaced rather than failing the dump.
    const std::string text = document.dump(2, ' ', false, ordered_json::error_handler_t::replace);
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
