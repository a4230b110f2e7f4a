#include "wal/RecoveryTarget.h"

#include "base/AgentError.h"
#include "wal/WalFileName.h"

namespace {

// PostgreSQL keeps a restore point's name in 64 bytes with its NUL.
constexpr std::size_t kMaxRestorePointName = 63;

// text as a whole number in base (10 or 16), at most max; nothing when it
// holds anything else or is out of range.
std::optional<std::uint64_t> wholeNumber(std::string_view text, unsigned base,
                                         std::uint64_t max) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        if (value > (max - digit) / base) return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

// A value quoted for an error line, its control characters as \n, \x01...
std::string shown(const std::string& value) {
    std::string text = "\"";
    for (char c : value) {
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            static const char digits[] = "0123456789abcdef";
            text += std::string("\\x") + digits[(c >> 4) & 0xF] + digits[c & 0xF];
        } else {
            text += c;
        }
    }
    return text + "\"";
}

void takeTarget(RecoveryTarget& target, const char*& chosen, const char* option,
                const std::optional<std::string>& value, RecoveryTargetKind kind) {
    if (!value) return;
    if (chosen != nullptr) {
        throw badInput(std::string("give one recovery target: ") + chosen + " and " + option +
                       " were both given");
    }
    chosen = option;
    target.kind = kind;
    target.text = *value;
}

void checkRestorePointName(const std::string& name) {
    if (name.empty()) throw badInput("--target-name is empty");
    if (name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        throw badInput("--target-name " + shown(name) +
                       " holds a line break or NUL byte; a restore point's name is one line");
    }
    if (name.size() > kMaxRestorePointName) {
        throw badInput("--target-name has " + std::to_string(name.size()) +
                       " bytes; a restore point's name has at most " +
                       std::to_string(kMaxRestorePointName));
    }
}

// The target's value checked and made the form recovery settings take.
void checkTargetValue(RecoveryTarget& target, const RecoveryTargetOptions& options,
                      const LocalTimeToUtc& local) {
    switch (target.kind) {
    case RecoveryTargetKind::Latest:
        if (options.target && *options.target != "latest") {
            throw badInput("--target " + shown(*options.target) +
                           " is not a recovery target: give \"latest\", or one of "
                           "--target-time, --target-lsn, --target-xid, --target-name");
        }
        target.text.clear();
        break;
    case RecoveryTargetKind::Time: {
        const auto micros = parseRecoveryTime(target.text, local);
        if (!micros) {
            throw badInput("--target-time " + shown(target.text) +
                           " is not a time such as \"2026-12-09 14:02:00\" or "
                           "\"2026-12-09T14:02:00.5+01:00\"");
        }
        target.timeMicros = *micros;
        break;
    }
    case RecoveryTargetKind::Lsn: {
        const auto lsn = parseLsn(target.text);
        if (!lsn) {
            throw badInput("--target-lsn " + shown(target.text) +
                           " is not a WAL location such as \"0/3000028\"");
        }
        target.lsn = *lsn;
        target.text = formatLsn(*lsn);
        break;
    }
    case RecoveryTargetKind::Xid: {
        const auto xid = wholeNumber(target.text, 10, UINT64_MAX);
        if (!xid || *xid == 0) {
            throw badInput("--target-xid " + shown(target.text) +
                           " is not a transaction id (a whole number from 1)");
        }
        target.xid = *xid;
        target.text = std::to_string(*xid);
        break;
    }
    case RecoveryTargetKind::Name:
        checkRestorePointName(target.text);
        break;
    }
}

void takeTimeline(RecoveryTarget& target, const std::string& text) {
    if (text == "latest") {
        target.timelineKind = RecoveryTimelineKind::Latest;
        return;
    }
    if (text == "current") {
        target.timelineKind = RecoveryTimelineKind::Current;
        return;
    }
    const bool hex = text.size() > 2 && (text.starts_with("0x") || text.starts_with("0X"));
    const auto id = hex ? wholeNumber(std::string_view(text).substr(2), 16, UINT32_MAX)
                        : wholeNumber(text, 10, UINT32_MAX);
    if (!id || *id == 0) {
        throw badInput("--target-timeline " + shown(text) +
                       " is not a timeline: give \"latest\", \"current\" or a number from 1");
    }
    target.timelineKind = RecoveryTimelineKind::Id;
    target.timeline = static_cast<std::uint32_t>(*id);
}

void takeAction(RecoveryTarget& target, const std::string& action) {
    if (action == "pause") {
        target.action = RecoveryAction::Pause;
    } else if (action == "promote") {
        target.action = RecoveryAction::Promote;
    } else if (action == "shutdown") {
        target.action = RecoveryAction::Shutdown;
    } else {
        throw badInput("--target-action " + shown(action) +
                       " is not one of pause, promote, shutdown");
    }
    if (target.kind == RecoveryTargetKind::Latest) {
        throw badInput("--target-action applies only where recovery stops at a target: "
                       "give --target-time, --target-lsn, --target-xid or --target-name");
    }
}

}  // namespace

RecoveryTarget parseRecoveryTarget(const RecoveryTargetOptions& options,
                                   const LocalTimeToUtc& local) {
    RecoveryTarget target;
    const char* chosen = nullptr;
    takeTarget(target, chosen, "--target-time", options.time, RecoveryTargetKind::Time);
    takeTarget(target, chosen, "--target-lsn", options.lsn, RecoveryTargetKind::Lsn);
    takeTarget(target, chosen, "--target-xid", options.xid, RecoveryTargetKind::Xid);
    takeTarget(target, chosen, "--target-name", options.name, RecoveryTargetKind::Name);
    takeTarget(target, chosen, "--target", options.target, RecoveryTargetKind::Latest);
    checkTargetValue(target, options, local);
    if (options.timeline) takeTimeline(target, *options.timeline);
    if (options.action) takeAction(target, *options.action);
    return target;
}

std::string configQuoted(std::string_view value, std::string_view what) {
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\n' || c == '\r' || c == '\0') {
            throw badInput(std::string(what) +
                           " holds a line break or NUL byte, which a setting cannot hold");
        }
        if (c == '\'' || c == '\\') quoted += c;
        quoted += c;
    }
    return quoted + "'";
}

std::vector<std::string> recoverySettingsLines(const RecoveryTarget& target,
                                               std::string_view restoreCommand) {
    if (restoreCommand.empty()) throw badInput("the restore_command is empty");
    std::vector<std::string> lines{"restore_command = " +
                                   configQuoted(restoreCommand, "the restore_command")};
    const char* setting = nullptr;
    switch (target.kind) {
    case RecoveryTargetKind::Latest: break;
    case RecoveryTargetKind::Time: setting = "recovery_target_time"; break;
    case RecoveryTargetKind::Lsn: setting = "recovery_target_lsn"; break;
    case RecoveryTargetKind::Xid: setting = "recovery_target_xid"; break;
    case RecoveryTargetKind::Name: setting = "recovery_target_name"; break;
    }
    if (setting != nullptr) {
        lines.push_back(std::string(setting) + " = " + configQuoted(target.text, setting));
        const char* action = target.action == RecoveryAction::Pause     ? "pause"
                             : target.action == RecoveryAction::Shutdown ? "shutdown"
                                                                          : "promote";
        lines.push_back(std::string("recovery_target_action = '") + action + "'");
    }
    switch (target.timelineKind) {
    case RecoveryTimelineKind::Unset: break;
    case RecoveryTimelineKind::Latest:
        lines.push_back("recovery_target_timeline = 'latest'");
        break;
    case RecoveryTimelineKind::Current:
        lines.push_back("recovery_target_timeline = 'current'");
        break;
    case RecoveryTimelineKind::Id:
        lines.push_back("recovery_target_timeline = '" + std::to_string(target.timeline) + "'");
        break;
    }
    return lines;
}
