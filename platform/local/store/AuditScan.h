#pragma once

// What an audit of a store reads: the names in files/ and jobs/, and the
// data of archive files for their digests, within the check's limits.
// Internal to the local library.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Maintenance.h"
#include "platform/local/base/Format.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class Store;

namespace audit {

// How the audit names an archive file in its lines: its identity (as
// archiveFileName gives it) and its job.
std::string nameOf(const ArchiveFileRecord& record);

// A check or a repair asked to stop (SIGINT, SIGTERM) ends between two
// files, or between two chunks of a file; a repair then leaves the old catalog in place.
void stopIfInterrupted();

// The data read for digests in one check or repair, against its limits.
class Scan {
public:
    explicit Scan(const CheckLimits& limits) : m_limits(limits) {}

    // Whether a file of size bytes may be read within the bound.
    bool fits(unsigned long long size) const {
        return !m_limits.maxBytes || size <= *m_limits.maxBytes - std::min(m_read, *m_limits.maxBytes);
    }
    void count(unsigned long long bytes, const std::string& path) {
        m_read += bytes;
        if (m_limits.progress) m_limits.progress(m_read, path);
    }
    // The jobs whose files are read first, in their order.
    const std::vector<unsigned long long>& readFirst() const { return m_limits.readFirst; }
    // Why a file of size bytes was left unread.
    std::string unread(unsigned long long size) const {
        const unsigned long long bound = m_limits.maxBytes.value_or(0);
        return bound == 0 ? formatText("%llu bytes, sizes only", size)
                          : formatText("%llu bytes, past --max-bytes %llu", size, bound);
    }

private:
    const CheckLimits& m_limits;
    unsigned long long m_read = 0;
};

// The SHA-256 and size of a data file, read through the store's safe open.
bool hashData(const Store& store, const std::string& path, Scan& scan, std::string* sha256,
              unsigned long long* size, std::string* why);

// The number a store's name begins with: all of digits, in Number's range.
template <typename Number>
std::optional<Number> numberOf(const std::string& digits) {
    Number value = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, value);
    if (digits.empty() || error != std::errc() || stop != end) return std::nullopt;
    return value;
}

// The N of files/N.arch and files/N.meta; other entries of files/ in *other,
// a number past an archive file id's range included.
void listFiles(const Store& store, std::set<uint64_t>* data, std::set<uint64_t>* sidecars,
               std::vector<std::string>* other);

// The job ids of jobs/<id>.<suffix>; a name whose number is no job id is
// left out (findUnusableEntries reports it).
std::set<unsigned long long> listJobFiles(const Store& store, const std::string& suffix);

}  // namespace audit

}  // namespace localplatform

#pragma GCC visibility pop
