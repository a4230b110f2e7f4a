// The archive manager client: invalidates archive files in the catalog.

#include "platform/ArMgrClientAPI.h"

#include <exception>
#include <string>

#include "platform/local/StepHooks.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/process/Context.h"
#include "platform/local/store/Store.h"

using localplatform::formatText;

ArMgrClientAPI::ArMgrClientAPI() = default;

ArMgrClientAPI::~ArMgrClientAPI() = default;

// All or nothing, in one transaction: when the job lacks any of the named
// files, none is invalidated. A file invalidated before stays so.
int ArMgrClientAPI::invalidateArchFilesByJob(InvalidateArchFilesByJobArgs_t* args,
                                             InvalidateArchFilesByJobRet_t* ret) {
    const auto answer = [ret](int result, const std::string& text) {
        if (ret) ret->text16 = text;
        if (result != 0) localplatform::platformError("invalidateArchFilesByJob: " + text);
        else localplatform::platformDebug("invalidateArchFilesByJob: " + text);
        return result;
    };
    localplatform::crashPoint(
        {localplatform::StepKind::ArchiveFilesInvalidated, 0, "invalidateArchFilesByJob", 0});
    if (!args) return answer(1, "no argument record");
    try {
        const auto store = localplatform::openedStore();
        store->requireWritable("invalidateArchFilesByJob");
        auto catalog = store->catalog();
        localplatform::CatalogTransaction transaction(*catalog);
        std::string unknown;
        for (const int64_t afileId : args->afileIds) {
            if (!catalog->invalidate(args->jobId, args->trellanId, afileId)) {
                unknown += (unknown.empty() ? "" : ", ") + std::to_string(afileId);
            }
        }
        if (!unknown.empty()) {
            return answer(1, formatText("job %llu has no archive file %s of Trellan id %lu; "
                                        "nothing was invalidated",
                                        static_cast<unsigned long long>(args->jobId),
                                        unknown.c_str(), args->trellanId));
        }
        transaction.commit();
        localplatform::crashPoint("catalog commit");
        return answer(0, formatText("invalidated %zu archive file(s) of job %llu",
                                    args->afileIds.size(),
                                    static_cast<unsigned long long>(args->jobId)));
    } catch (const std::exception& error) {
        return answer(2, error.what());
    }
}
