#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "manifest/Manifest.h"

// What a backup of files has written so far, kept on this host for
// `backup --resume`: a manifest of the set's first entries whose every part
// its streams wrote, with the job's archive files, in
// <store's host directory>/resume/<job>.json. The backup replaces it as it
// goes and removes it once the job completed or was given up; a killed
// backup leaves its last one, which cleanup removes with the job's files.
// Never read through a link; each write is whole or not there (a file of
// its own beside it, synced, renamed into place).

// Where the open store keeps the records of its backups on this host.
std::string resumeRecordDirectory();

// The record of one backup, written from the job's thread.
class ResumeRecord {
public:
    // Records job jobId's progress in directory (resumeRecordDirectory()),
    // at most once every `every` (and never before the first interval), and
    // less often when making the record takes more than a twentieth of that.
    ResumeRecord(std::string directory, unsigned long long jobId,
                 std::chrono::steady_clock::duration every = std::chrono::seconds(5));
    // Removes the record (drop()).
    ~ResumeRecord();
    ResumeRecord(const ResumeRecord&) = delete;
    ResumeRecord& operator=(const ResumeRecord&) = delete;

    // With `written` set entries written from the first, replaces the record
    // with what `manifestOf(written)` gives, when the interval has passed and
    // more was written than the record holds. A record that cannot be written
    // is said once (a line) and not tried again: the backup goes on.
    void update(std::size_t written, const std::function<Manifest(std::size_t)>& manifestOf);
    // Removes the record (one a killed run of the same job left too), as when
    // the job completed or was given up; no more is recorded. Never throws.
    void drop() noexcept;

private:
    void write(const std::string& text);

    const std::string m_directory;
    const std::string m_name;  // <job>.json
    const std::chrono::steady_clock::duration m_every;
    std::chrono::steady_clock::time_point m_next;  // the earliest time of the next write
    std::size_t m_recorded = 0;
    bool m_givenUp = false;
};

// The record of job jobId in directory, parsed and checked as a manifest
// (parseManifest); nullopt when there is none. Throws AgentError (bad input)
// for one that is not a regular file or does not parse.
std::optional<Manifest> readResumeRecord(const std::string& directory, unsigned long long jobId);

// Removes the records (and the files a write left beside them) of the
// jobs that `keep` does not name; returns the names removed. Nothing is
// followed through a link.
std::vector<std::string> sweepResumeRecords(const std::string& directory,
                                            const std::set<unsigned long long>& keep);
