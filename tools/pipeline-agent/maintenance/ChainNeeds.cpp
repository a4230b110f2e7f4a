#include "maintenance/ChainNeeds.h"

#include <algorithm>
#include <deque>
#include <functional>

namespace {

// "job 7" or "jobs 7, 9".
std::string jobsText(const std::vector<unsigned long long>& jobs) {
    std::string text = jobs.size() == 1 ? "job " : "jobs ";
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(jobs[i]);
    }
    return text;
}

// Each job that some job refers to, and the jobs that refer to it, lowest
// first.
std::map<unsigned long long, std::vector<unsigned long long>> referrersByJob(
    const JobReferences& references) {
    std::map<unsigned long long, std::vector<unsigned long long>> referrers;
    for (const auto& [job, referred] : references) {
        for (const unsigned long long each : referred) referrers[each].push_back(job);
    }
    for (auto& [job, list] : referrers) {
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
    }
    return referrers;
}

// The jobs of `among` in list, in its order.
std::vector<unsigned long long> within(const std::vector<unsigned long long>& list,
                                       const std::set<unsigned long long>& among) {
    std::vector<unsigned long long> found;
    for (const unsigned long long job : list) {
        if (among.count(job) != 0) found.push_back(job);
    }
    return found;
}

}  // namespace

std::vector<unsigned long long> referrersOf(const JobReferences& references,
                                            unsigned long long job,
                                            const std::set<unsigned long long>& staying) {
    std::vector<unsigned long long> referrers;
    for (const auto& [each, referred] : references) {
        if (each != job && staying.count(each) != 0 &&
            std::find(referred.begin(), referred.end(), job) != referred.end()) {
            referrers.push_back(each);
        }
    }
    return referrers;
}

std::string referredJobRefusal(const JobReferences& references,
                               const std::vector<unsigned long long>& deleting,
                               const std::set<unsigned long long>& staying) {
    std::set<unsigned long long> stays = staying;
    for (const unsigned long long job : deleting) stays.erase(job);
    for (const unsigned long long job : deleting) {
        const std::vector<unsigned long long> referrers = referrersOf(references, job, stays);
        if (referrers.empty()) continue;
        return "job " + std::to_string(job) + " holds data that " + jobsText(referrers) +
               (referrers.size() == 1 ? " refers to; delete job " + std::to_string(referrers[0])
                                      : " refer to; delete them") +
               " first, or with it in the same command";
    }
    return "";
}

std::vector<KeptByReference> keepReferred(const JobReferences& references,
                                          const std::set<unsigned long long>& staying,
                                          const std::vector<unsigned long long>& doomed) {
    const std::set<unsigned long long> going(doomed.begin(), doomed.end());
    std::set<unsigned long long> stays;
    for (const unsigned long long job : staying) {
        if (going.count(job) == 0) stays.insert(job);
    }
    // Every job that stays keeps what it refers to, and so on down.
    std::deque<unsigned long long> next(stays.begin(), stays.end());
    std::set<unsigned long long> kept;
    while (!next.empty()) {
        const auto found = references.find(next.front());
        next.pop_front();
        if (found == references.end()) continue;
        for (const unsigned long long referred : found->second) {
            if (going.count(referred) == 0 || !kept.insert(referred).second) continue;
            stays.insert(referred);
            next.push_back(referred);
        }
    }
    const auto referrers = referrersByJob(references);
    std::vector<KeptByReference> result;
    for (const unsigned long long job : doomed) {
        if (kept.count(job) == 0) continue;
        kept.erase(job);  // once, however often doomed names it
        result.push_back({job, within(referrers.at(job), stays)});
    }
    return result;
}

std::string keepingLine(const KeptByReference& kept) {
    const bool one = kept.referrers.size() == 1;
    return "keeping job " + std::to_string(kept.jobId) + ": " + jobsText(kept.referrers) +
           (one ? ", which is kept, refers to it" : ", which are kept, refer to it");
}

std::vector<unsigned long long> referrersFirst(const JobReferences& references,
                                               const std::vector<unsigned long long>& ids) {
    std::vector<unsigned long long> unique;
    std::set<unsigned long long> named;
    for (const unsigned long long id : ids) {
        if (named.insert(id).second) unique.push_back(id);
    }
    // For each job, the jobs of ids that refer to it, in the order of ids.
    std::map<unsigned long long, std::vector<unsigned long long>> referrers;
    for (const unsigned long long id : unique) {
        const auto found = references.find(id);
        if (found == references.end()) continue;
        for (const unsigned long long referred : found->second) {
            if (referred != id && named.count(referred) != 0) referrers[referred].push_back(id);
        }
    }
    std::vector<unsigned long long> order;
    std::set<unsigned long long> placed;
    // Places a job after the jobs that refer to it; a job met again (as
    // references never are, a cycle) is not waited for.
    const std::function<void(unsigned long long)> place = [&](unsigned long long id) {
        if (!placed.insert(id).second) return;
        const auto found = referrers.find(id);
        if (found != referrers.end()) {
            for (const unsigned long long referrer : found->second) place(referrer);
        }
        order.push_back(id);
    };
    for (const unsigned long long id : unique) place(id);
    return order;
}
