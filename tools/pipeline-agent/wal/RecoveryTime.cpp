#include "wal/RecoveryTime.h"

#include <chrono>
#include <ctime>

namespace {

// Reads the text left to right; each take* consumes what it read only when
// it succeeds.
class Reader {
public:
    explicit Reader(std::string_view text) : m_text(text) {}

    bool atEnd() const { return m_text.empty(); }
    char peek() const { return m_text.empty() ? '\0' : m_text.front(); }

    bool take(char c) {
        if (peek() != c) return false;
        m_text.remove_prefix(1);
        return true;
    }

    // Exactly `digits` decimal digits.
    std::optional<int> number(std::size_t digits) {
        if (m_text.size() < digits) return std::nullopt;
        int value = 0;
        for (std::size_t i = 0; i < digits; ++i) {
            const char c = m_text[i];
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + (c - '0');
        }
        m_text.remove_prefix(digits);
        return value;
    }

    // One or more digits after a decimal point, as microseconds rounded to
    // nearest (1000000 when they round up to a whole second).
    std::optional<std::int64_t> fraction() {
        std::size_t count = 0;
        std::int64_t micros = 0;
        bool roundUp = false;
        while (count < m_text.size() && m_text[count] >= '0' && m_text[count] <= '9') {
            const int digit = m_text[count] - '0';
            if (count < 6) micros = micros * 10 + digit;
            if (count == 6) roundUp = digit >= 5;
            ++count;
        }
        if (count == 0) return std::nullopt;
        for (std::size_t i = count; i < 6; ++i) micros *= 10;
        m_text.remove_prefix(count);
        return micros + (roundUp ? 1 : 0);
    }

    std::size_t skipBlanks() {
        std::size_t count = 0;
        while (peek() == ' ' || peek() == '\t') {
            m_text.remove_prefix(1);
            ++count;
        }
        return count;
    }

    // The rest of the text, case folded, equals word.
    bool restIs(std::string_view word) const {
        if (m_text.size() != word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            char c = m_text[i];
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            if (c != word[i]) return false;
        }
        return true;
    }

private:
    std::string_view m_text;
};

// A zone at the end of the text: seconds east of UTC, or nothing when there
// is something else there.
std::optional<int> zoneOffset(Reader& reader) {
    if (reader.restIs("Z") || reader.restIs("UTC") || reader.restIs("GMT")) return 0;
    int sign = 0;
    if (reader.take('+')) {
        sign = 1;
    } else if (reader.take('-')) {
        sign = -1;
    } else {
        return std::nullopt;
    }
    const auto hours = reader.number(2);
    if (!hours || *hours > 15) return std::nullopt;
    int minutes = 0;
    if (!reader.atEnd()) {
        reader.take(':');
        const auto parsed = reader.number(2);
        if (!parsed || *parsed > 59 || !reader.atEnd()) return std::nullopt;
        minutes = *parsed;
    }
    return sign * (*hours * 3600 + minutes * 60);
}

}  // namespace

std::int64_t systemLocalTimeToUtc(const CivilTime& time) {
    std::tm broken{};
    broken.tm_year = time.year - 1900;
    broken.tm_mon = time.month - 1;
    broken.tm_mday = time.day;
    broken.tm_hour = time.hour;
    broken.tm_min = time.minute;
    broken.tm_sec = time.second;
    broken.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&broken));
}

std::optional<std::int64_t> parseRecoveryTime(std::string_view text,
                                              const LocalTimeToUtc& local) {
    Reader reader(text);
    CivilTime civil;
    const auto year = reader.number(4);
    if (!year || !reader.take('-')) return std::nullopt;
    const auto month = reader.number(2);
    if (!month || !reader.take('-')) return std::nullopt;
    const auto day = reader.number(2);
    if (!day) return std::nullopt;
    civil.year = *year;
    civil.month = *month;
    civil.day = *day;
    const std::chrono::year_month_day date{std::chrono::year(civil.year),
                                           std::chrono::month(static_cast<unsigned>(civil.month)),
                                           std::chrono::day(static_cast<unsigned>(civil.day))};
    if (!date.ok()) return std::nullopt;

    std::int64_t micros = 0;
    const std::size_t blanks = reader.skipBlanks();
    const bool separatedByT = blanks == 0 && (reader.take('T') || reader.take('t'));
    const bool timeFollows = (blanks > 0 || separatedByT) && reader.peek() >= '0' &&
                             reader.peek() <= '9';
    if (separatedByT && !timeFollows) return std::nullopt;
    if (timeFollows) {
        const auto hour = reader.number(2);
        if (!hour || *hour > 23 || !reader.take(':')) return std::nullopt;
        const auto minute = reader.number(2);
        if (!minute || *minute > 59) return std::nullopt;
        civil.hour = *hour;
        civil.minute = *minute;
        if (reader.take(':')) {
            const auto second = reader.number(2);
            if (!second || *second > 59) return std::nullopt;
            civil.second = *second;
            if (reader.take('.')) {
                const auto fraction = reader.fraction();
                if (!fraction) return std::nullopt;
                micros = *fraction;
            }
        }
        reader.skipBlanks();
    } else if (blanks == 0 && !reader.atEnd()) {
        return std::nullopt;  // a zone glued to the date
    }

    std::int64_t seconds = 0;
    if (reader.atEnd()) {
        seconds = local(civil);
    } else {
        const auto offset = zoneOffset(reader);
        if (!offset) return std::nullopt;
        const std::int64_t days =
            std::chrono::sys_days(date).time_since_epoch().count();
        seconds = days * 86400 + civil.hour * 3600 + civil.minute * 60 + civil.second - *offset;
    }
    return seconds * 1000000 + micros;
}
