#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/local/Jobs.h"

// When `check` last read each of the store's complete jobs whole and found
// every byte matching its digests: the store's settings file verified.json
// ({"format": 1, "jobs": {"ID": "YYYY-MM-DDTHH:MM:SSZ", ...}}), which a
// check that passed replaces whole. A check bounded by --max-bytes reads the
// jobs in verificationOrder, so that runs night after night take every job
// in turn.

using VerificationDates = std::map<unsigned long long, std::string>;  // by job id

// The dates the open store keeps; none when it keeps no file. A file that
// cannot be read, or that is not what a check writes, gives none too, and
// *why (when given) says why; otherwise *why is left as it was. Throws
// nothing but std::bad_alloc. Thread rules: any thread, with the store open.
VerificationDates storedVerificationDates(std::string* why = nullptr);

// The complete jobs in the order a check reads them: first those never
// verified, oldest first, then the others by when they were verified last,
// longest ago first (ties: oldest job first).
std::vector<unsigned long long> verificationOrder(const std::vector<localplatform::JobRecord>& jobs,
                                                  const VerificationDates& dates);

// Records `date` for the jobs `read`, and keeps the dates of the other jobs
// that `jobs` (the store's now) has; a job gone from the store loses its
// date. The file is read again just before it is replaced, so that the
// dates another check recorded meanwhile stay unless newer ones replace
// them. Throws StoreError when the file cannot be written (it is then as it
// was). Thread rules: the command's thread, the store open for writing.
void keepVerificationDates(const std::vector<unsigned long long>& read, const std::string& date,
                           const std::vector<localplatform::JobRecord>& jobs);

// The text of verified.json for dates.
std::string verificationText(const VerificationDates& dates);

// The dates in text; throws std::invalid_argument, saying why, when it is
// no such file.
VerificationDates parseVerificationText(const std::string& text);
