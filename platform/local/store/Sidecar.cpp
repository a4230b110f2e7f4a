#include "platform/local/store/Sidecar.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>

#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"

namespace localplatform {

namespace {

constexpr unsigned kSidecarFormat = 1;
constexpr std::size_t kMaxSidecarSize = 64 * 1024;

template <typename Number>
bool number(const std::string& text, Number* value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, *value);
    return !text.empty() && error == std::errc() && stop == end;
}

}  // namespace

std::string sidecarHeader(const ArchiveFileRecord& record) {
    return formatText(
        "format=%u\ntrellan_id=%u\ngroup_number=%u\nafile_id=%u\njob_id=%llu\nstream=%lu\n"
        "created_at=%s\n",
        kSidecarFormat, record.trellanId, record.groupNumber, record.afileId, record.jobId,
        record.stream, record.createdAt.c_str());
}

std::string sidecarClosing(unsigned long long size, const std::string& sha256) {
    return formatText("closed_at=%s size=%llu sha256=%s\n", utcNow().c_str(), size,
                      sha256.c_str());
}

bool readSidecar(Storage& storage, const std::string& path, Sidecar* sidecar, std::string* why) {
    std::string text;
    if (!storage.readSmallFile(path, kMaxSidecarSize, &text)) {
        if (errno == ENOENT)
            *why = "its description " + path + " is missing";
        else if (errno == EINVAL || errno == EFBIG)
            *why = "its description " + path + " is not a regular file of at most 64 KiB";
        else
            *why = systemError("cannot open its description", path);
        return false;
    }

    Sidecar parsed;
    bool complete[6] = {};
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            const auto equals = word.find('=');
            if (equals == std::string::npos) continue;
            const std::string key = word.substr(0, equals), value = word.substr(equals + 1);
            bool good = true;
            if (key == "format") good = number(value, &parsed.format);
            else if (key == "trellan_id") good = complete[0] = number(value, &parsed.trellanId);
            else if (key == "group_number") good = complete[1] = number(value, &parsed.groupNumber);
            else if (key == "afile_id") good = complete[2] = number(value, &parsed.afileId);
            else if (key == "job_id") good = complete[3] = number(value, &parsed.jobId);
            else if (key == "stream") good = complete[4] = number(value, &parsed.stream);
            else if (key == "created_at") parsed.createdAt = value;
            else if (key == "closed_at") parsed.closedAt = value;
            else if (key == "size") good = complete[5] = number(value, &parsed.size);
            else if (key == "sha256") parsed.sha256 = value;
            if (!good) {
                *why = "its description " + path + " has a bad value: " + word;
                return false;
            }
        }
    }
    if (parsed.format == 0 || parsed.format > kSidecarFormat) {
        *why = "its description " + path + " has no format this platform reads";
        return false;
    }
    for (int i = 0; i < 5; ++i) {
        if (!complete[i]) {
            *why = "its description " + path + " is incomplete";
            return false;
        }
    }
    parsed.closed = complete[5] && parsed.sha256.size() == 64 && !parsed.closedAt.empty();
    *sidecar = parsed;
    return true;
}

}  // namespace localplatform
