// Write-ahead log locations and the names of the segment files holding
// them.

#include "postgres/WalLocation.h"

#include <cinttypes>
#include <cstdio>

namespace {

// The value of text as hexadecimal of 1 to maxDigits digits.
std::optional<std::uint64_t> hexNumber(std::string_view text, std::size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            return std::nullopt;
        }
        value = value * 16 + static_cast<std::uint64_t>(digit);
    }
    return value;
}

}  // namespace

std::optional<std::uint64_t> parseLsn(std::string_view text) {
    const auto slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const auto high = hexNumber(text.substr(0, slash), 8);
    const auto low = hexNumber(text.substr(slash + 1), 8);
    if (!high || !low) return std::nullopt;
    return (*high << 32) | *low;
}

std::string formatLsn(std::uint64_t lsn) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIX32 "/%" PRIX32, static_cast<std::uint32_t>(lsn >> 32),
                  static_cast<std::uint32_t>(lsn));
    return text;
}

std::string walFileName(std::uint32_t timeline, std::uint64_t lsn, std::uint64_t segmentBytes) {
    const std::uint64_t segment = lsn == 0 ? 0 : (lsn - 1) / segmentBytes;
    const std::uint64_t segmentsPerId = 0x100000000ULL / segmentBytes;
    char name[32];
    std::snprintf(name, sizeof name, "%08" PRIX32 "%08" PRIX32 "%08" PRIX32, timeline,
                  static_cast<std::uint32_t>(segment / segmentsPerId),
                  static_cast<std::uint32_t>(segment % segmentsPerId));
    return name;
}

std::optional<std::uint32_t> timelineOfWalFile(std::string_view name) {
    if (name.size() != 24 || !hexNumber(name.substr(8), 16)) return std::nullopt;
    const auto timeline = hexNumber(name.substr(0, 8), 8);
    if (!timeline) return std::nullopt;
    return static_cast<std::uint32_t>(*timeline);
}
