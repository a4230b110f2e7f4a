// Formatting that needs no state: text, system errors, times, names.

#include "platform/local/base/Format.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "platform/common/FormatText.h"

namespace localplatform {

std::string formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    return text;
}

std::string systemError(const std::string& what, const std::string& path) {
    return systemError(what, path, errno);
}

std::string systemError(const std::string& what, const std::string& path, int error) {
    return what + " " + path + ": " + std::strerror(error);
}

namespace {

// The current UTC time with milliseconds, ISO 8601 or compact.
std::string utcTime(bool compact) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char date[32];
    if (compact)
        std::strftime(date, sizeof date, "%Y%m%dT%H%M%S", &utc);
    else
        std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
    return formatText("%s.%03ldZ", date, now.tv_nsec / 1000000);
}

}  // namespace

std::string utcNow() { return utcTime(false); }

std::string utcNowCompact() { return utcTime(true); }

std::string archiveFileName(uint32_t trellanId, uint32_t groupNumber, uint32_t afileId) {
    return formatText("archive file (%u, %u, %u)", trellanId, groupNumber, afileId);
}

}  // namespace localplatform
