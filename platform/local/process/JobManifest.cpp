// The jobs' manifests in jobs/: written once, read whole.

#include "platform/local/JobManifest.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <regex>

#include "platform/local/Config.h"
#include "platform/local/base/Format.h"
#include "platform/local/process/Context.h"
#include "platform/local/store/Store.h"

namespace localplatform {

namespace {

// A manifest larger than this is not one the agent wrote.
constexpr std::size_t kMaxManifestBytes = std::size_t{1} << 30;

}  // namespace

std::string jobManifestPath(unsigned long long jobId) {
    return openedStore()->manifestPath(jobId);
}

bool manifestKeptAtCompletion(unsigned long long jobId) {
    const auto store = openedStore();
    std::string text;
    if (!store->storage().readSmallFile(store->markerPath(jobId), 4096, &text)) return false;
    return text.find("\nmanifest=kept\n") != std::string::npos;
}

void storeJobManifest(unsigned long long jobId, const std::string& text) {
    const auto store = openedStore();
    store->requireWritable("storeJobManifest");
    const auto job = store->catalog()->findJob(jobId);
    if (!job || job->state != "running") {
        throw StoreError(StoreError::Kind::Failed,
                         formatText("storeJobManifest: job %llu is %s, not running", jobId,
                                    job ? job->state.c_str() : "not in the catalog"));
    }
    const std::string path = jobManifestPath(jobId);
    if (!store->storage().createDurably(path, text, store->modes())) {
        const bool exists = errno == EEXIST;
        throw StoreError(exists ? StoreError::Kind::JobExists : StoreError::Kind::Failed,
                         systemError("cannot write the job's manifest", path));
    }
}

std::optional<std::string> jobManifest(unsigned long long jobId) {
    const auto store = openedStore();
    const std::string path = jobManifestPath(jobId);
    std::string text;
    if (!store->storage().readSmallFile(path, kMaxManifestBytes, &text)) {
        if (errno == ENOENT) return std::nullopt;
        if (errno == EINVAL || errno == EFBIG || errno == ELOOP) {
            throw StoreError(StoreError::Kind::Failed,
                             path + " is not a regular file of a manifest's size");
        }
        throw StoreError(StoreError::Kind::Failed, systemError("cannot read", path));
    }
    return text;
}

std::vector<unsigned long long> jobsWithManifests() {
    const auto store = openedStore();
    std::vector<unsigned long long> ids;
    std::vector<std::string> names;
    if (!store->storage().list(store->jobsDirectory(), &names)) {
        if (errno == ENOENT) return ids;
        throw StoreError(StoreError::Kind::Failed,
                         systemError("cannot read", store->jobsDirectory()));
    }
    static const std::regex name(R"(([0-9]{1,20})\.manifest\.json)");
    for (const std::string& entry : names) {
        std::smatch match;
        if (std::regex_match(entry, match, name)) {
            errno = 0;
            const unsigned long long id = std::strtoull(match[1].str().c_str(), nullptr, 10);
            if (errno == 0) ids.push_back(id);
        }
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace localplatform
