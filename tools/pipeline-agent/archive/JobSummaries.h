#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "manifest/Manifest.h"

// What the archive reads of one complete job's manifest, kept small on this
// host so that every wal-push need not parse every manifest again: a
// complete job's manifest never changes, so its summary never does either.
struct JobSummary {
    struct File {
        std::string name;
        uint64_t size = 0;
        std::string sha256;
    };
    std::string createdAt;
    std::optional<ManifestCluster> cluster;
    std::optional<ManifestWal> wal;
    std::vector<File> files;  // a WAL job's; empty for any other
    // The chain the job belongs to (none: WAL, or a job made before sets)
    // and the jobs whose archive files hold data of its files.
    std::optional<ManifestChain> chain;
    std::vector<unsigned long long> references;
};

// The summary of a manifest.
JobSummary summaryOf(const Manifest& manifest);

// Summaries kept as one small file a job in a directory of this host (the
// store's host directory's wal-cache/). A cache only: a summary that cannot
// be read is read from the manifest again, one that cannot be written is
// not kept. Not shared between threads; processes may share the directory
// (each file appears whole, by a rename).
class JobSummaries {
public:
    explicit JobSummaries(std::string directory) : m_directory(std::move(directory)) {}
    // The open store's summaries on this host: its host directory's
    // wal-cache/.
    static JobSummaries ofOpenStore();
    // The kept summary of job jobId; nothing when none is kept, it does not
    // parse, or it was kept by an agent that did not record the chain (no
    // "references").
    std::optional<JobSummary> load(unsigned long long jobId) const;
    // Keeps summary as job jobId's, best effort.
    void save(unsigned long long jobId, const JobSummary& summary) const noexcept;

private:
    std::string m_directory;
};
