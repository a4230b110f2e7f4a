#include "inputs/FileIdentity.h"

#include <cstdio>
#include <ctime>

namespace {

// UTC to the nanosecond: 2026-12-08T14:56:21.876602869Z.
std::string timeText(int64_t seconds, long nanoseconds) {
    const std::time_t whole = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&whole, &utc);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%s.%09ldZ", date, nanoseconds);
    return text;
}

}  // namespace

FileIdentity identityOf(const struct stat& status) {
    FileIdentity identity;
    identity.device = static_cast<uint64_t>(status.st_dev);
    identity.inode = static_cast<uint64_t>(status.st_ino);
    identity.size = static_cast<uint64_t>(status.st_size);
    identity.modifiedSeconds = static_cast<int64_t>(status.st_mtim.tv_sec);
    identity.modifiedNanoseconds = status.st_mtim.tv_nsec;
    identity.changedSeconds = static_cast<int64_t>(status.st_ctim.tv_sec);
    identity.changedNanoseconds = status.st_ctim.tv_nsec;
    return identity;
}

std::string describeChange(const FileIdentity& before, const FileIdentity& after) {
    if (before.device != after.device || before.inode != after.inode) {
        return "it was replaced by another file";
    }
    if (before.size != after.size) {
        return "its size went from " + std::to_string(before.size) + " to " +
               std::to_string(after.size) + " bytes";
    }
    if (before.modifiedSeconds != after.modifiedSeconds ||
        before.modifiedNanoseconds != after.modifiedNanoseconds) {
        return "its modification time went from " +
               timeText(before.modifiedSeconds, before.modifiedNanoseconds) + " to " +
               timeText(after.modifiedSeconds, after.modifiedNanoseconds);
    }
    if (before.changedSeconds != after.changedSeconds ||
        before.changedNanoseconds != after.changedNanoseconds) {
        return "its change time went from " +
               timeText(before.changedSeconds, before.changedNanoseconds) + " to " +
               timeText(after.changedSeconds, after.changedNanoseconds);
    }
    return "";
}
