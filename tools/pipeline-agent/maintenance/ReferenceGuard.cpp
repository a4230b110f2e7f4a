#include "maintenance/ReferenceGuard.h"

#include <set>

#include "base/AgentError.h"
#include "platform/local/Config.h"
#include "maintenance/ChainNeeds.h"

void ReferenceGuard::requireNoneReferred(const std::vector<unsigned long long>& locked) {
    std::vector<localplatform::JobRecord> jobs;
    try {
        jobs = localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        throw jobFailed(std::string("cannot list the store's jobs: ") + error.what());
    }
    readStoredChains(jobs, m_chains);
    std::set<unsigned long long> staying;
    for (const localplatform::JobRecord& job : jobs) {
        if (job.state == "complete" || job.state == "damaged") staying.insert(job.jobId);
    }
    const std::string refused = referredJobRefusal(m_chains.references(), locked, staying);
    if (!refused.empty()) throw badInput(refused);
}
