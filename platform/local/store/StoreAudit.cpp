// Verifying a store, catalog against files, and rebuilding its catalog from
// the files' own descriptions and the jobs' completion markers: the steps in
// their order. What each looks at is in the Audit* files beside this one.

#include "platform/local/store/StoreAudit.h"

#include <map>
#include <string>
#include <vector>

#include "platform/local/Config.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/store/AuditExamination.h"
#include "platform/local/store/AuditPlaces.h"
#include "platform/local/store/AuditRepair.h"
#include "platform/local/store/AuditScan.h"
#include "platform/local/store/Store.h"

namespace localplatform {

CheckResult auditStore(const std::shared_ptr<Store>& store, bool repair,
                       const CheckLimits& limits) {
    if (repair) store->requireWritable("check --repair");
    audit::Scan scan(limits);
    // What stood where jobs/, a lock or a log belongs is cleared first (the
    // store's opening cleared jobs/ and this run's log).
    std::vector<std::string> cleared = store->clearedPlaces();
    if (repair) audit::clearUnusableEntries(*store, &cleared);
    std::map<unsigned long long, std::string> unmarked;
    CheckResult found = audit::examine(*store, scan, repair ? &unmarked : nullptr);
    if (repair && !found.problems.empty()) {
        std::vector<std::string> repaired;
        for (const std::string& problem : found.problems) repaired.push_back("found: " + problem);
        // Only the markers missing: the catalog stays.
        if (audit::remakeMarkers(*store, unmarked, &repaired) < found.problems.size()) {
            audit::rebuildFromFiles(*store, scan, &repaired);
        }
        for (const std::string& line : repaired) platformDebug("check --repair: " + line);
        found = audit::examine(*store, scan);
        found.repaired = std::move(repaired);
    }
    for (const std::string& line : cleared) platformDebug("check --repair: " + line);
    found.repaired.insert(found.repaired.begin(), cleared.begin(), cleared.end());
    // Not the catalog's to mend: said, never repaired.
    found.repairable = found.problems.size();
    audit::findWritableByOthers(*store, &found.problems);
    if (audit::findUnusableEntries(*store, &found.problems)) {
        found.advice.push_back(
            "`check --repair` removes such links (never what they lead to) and moves aside "
            "what else stands where jobs/, a lock or a log belongs");
    }
    if (!found.problems.empty()) {
        try {
            found.running = store->liveness()->liveJobs().size();
        } catch (const StoreError&) {
            found.running = 0;  // not known: the advice is then the usual one
        }
    }
    return found;
}

}  // namespace localplatform
