#pragma once

// The moment a point-in-time restore stops at, read from the timestamp forms
// a DBA gives PostgreSQL's recovery_target_time.

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

// A wall-clock date and time without a zone.
struct CivilTime {
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// How a time written without a zone becomes seconds since the epoch (UTC).
using LocalTimeToUtc = std::function<std::int64_t(const CivilTime&)>;

// The agent's local time zone, as the C library resolves it (TZ, else
// /etc/localtime) through mktime with daylight saving left for it to decide:
// a time that a clock change skips is moved forward by the change, one it
// repeats takes whichever offset the C library picks. This stands in for
// PostgreSQL's own timezone setting, which initdb takes from the same
// machine's zone. Reads the process's zone; any thread may call it.
std::int64_t systemLocalTimeToUtc(const CivilTime& time);

// text as microseconds since 1970-01-01 00:00:00 UTC, or nothing when it is
// not one of the forms read here: a date YYYY-MM-DD, optionally followed
// (after blanks or 'T') by HH:MM, HH:MM:SS or HH:MM:SS.fraction (rounded to
// microseconds), optionally followed (blanks allowed before it) by a zone:
// Z, UTC or GMT (any case), or an offset +HH, +HH:MM, +HHMM (or -). A time
// without a zone is converted by local; a date alone is its midnight. Values
// out of range (13th month, 30 February, hour 24, offsets beyond 15:59) are
// refused. Pure but for what local does.
std::optional<std::int64_t> parseRecoveryTime(std::string_view text,
                                              const LocalTimeToUtc& local);
