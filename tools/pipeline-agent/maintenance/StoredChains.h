#pragma once

#include <map>
#include <optional>
#include <vector>

#include "maintenance/ChainNeeds.h"
#include "manifest/ChainRecords.h"
#include "platform/local/Jobs.h"

// What the manifests of a store's complete (and damaged) jobs tell of their
// chains: each job's set, kind and reference, and the jobs that hold data of
// its files. Read from this host's job summaries (archive/JobSummaries.h)
// where they are kept, else from the store's copy of each manifest, once,
// its summary kept for the next command.

// One job's place in its chain.
struct JobLinks {
    std::optional<ManifestChain> chain;          // none: a job of WAL files, or made before sets
    std::vector<unsigned long long> references;  // the jobs its manifest's "references" name
};

struct StoredChains {
    // Every complete or damaged job whose manifest the store keeps and that
    // could be read. A job without one (made before stores kept manifests)
    // refers to nothing.
    // A job whose manifest does not parse is taken to refer to nothing
    // (check names it).
    std::map<unsigned long long, JobLinks> jobs;

    // Each job and the jobs it refers to.
    JobReferences references() const;
};

// Reads into chains the links of every complete or damaged job of `jobs`
// that it lacks: all of them at first, the jobs completed since later.
// Needs an open store; throws AgentError (failed job) when the store cannot
// be read. The caller's thread.
void readStoredChains(const std::vector<localplatform::JobRecord>& jobs, StoredChains& chains);

// The same from nothing.
StoredChains readStoredChains(const std::vector<localplatform::JobRecord>& jobs);
