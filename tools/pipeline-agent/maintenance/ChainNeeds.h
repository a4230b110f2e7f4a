#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// Which jobs the store's jobs need: a differential or incremental job needs
// the jobs its manifest's "references" name (they hold the data of its
// unchanged files) and itself, nothing else. References are flattened, so a
// job always names the job that holds the bytes, never one in between.
// Values only: nothing here looks at a store or prints.

// Each job and the jobs it refers to (none for a full, a job of WAL files,
// or one made before references).
using JobReferences = std::map<unsigned long long, std::vector<unsigned long long>>;

// The jobs of `staying` that refer to `job`, lowest id first.
std::vector<unsigned long long> referrersOf(const JobReferences& references,
                                            unsigned long long job,
                                            const std::set<unsigned long long>& staying);

// delete's refusal of the first job of `deleting` (in its order) that a job
// of `staying` refers to, naming every such job: "job H holds data that
// job J refers to; delete job J first, or with it in the same command" (for
// several: "jobs J1, J2 refer to; delete them first, ..."); empty when no
// job staying refers to any of them.
std::string referredJobRefusal(const JobReferences& references,
                               const std::vector<unsigned long long>& deleting,
                               const std::set<unsigned long long>& staying);

// A job that a retention policy would remove and that stays because jobs
// that stay refer to it.
struct KeptByReference {
    unsigned long long jobId = 0;
    std::vector<unsigned long long> referrers;  // the jobs that stay and refer to it, lowest first
};

// Which jobs of `doomed` stay because a job that stays needs them: a job of
// `staying` keeps every job it refers to, and each job kept so keeps the jobs
// it refers to in turn, so that every job that stays restores. Each kept
// job once, in the order of doomed, with every job that stays in the end
// and refers to it. A chain none of whose jobs stays goes whole.
std::vector<KeptByReference> keepReferred(const JobReferences& references,
                                          const std::set<unsigned long long>& staying,
                                          const std::vector<unsigned long long>& doomed);

// expire's line for such a job, the same in a dry run and a real one:
// "keeping job H: job J, which is kept, refers to it" (for several: "jobs
// J1, J2, which are kept, refer to it").
std::string keepingLine(const KeptByReference& kept);

// ids (each once) in the order a deletion removes them: every job after the
// jobs of ids that refer to it, the order given kept otherwise. Deleting in
// this order, a deletion stopped between two batches never leaves a job
// that stays referring to one that went.
std::vector<unsigned long long> referrersFirst(const JobReferences& references,
                                               const std::vector<unsigned long long>& ids);
