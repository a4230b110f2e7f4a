// The jobs' manifests in jobs/: written once, read whole.

#include "platform/local/JobManifest.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <regex>

#include "platform/local/Durable.h"
#include "platform/local/LocalState.h"
#include "platform/local/Store.h"

namespace localplatform {

namespace {

constexpr const char* kSuffix = ".manifest.json";
// A manifest larger than this is not one the agent wrote.
constexpr off_t kMaxManifestBytes = off_t{1} << 30;

}  // namespace

std::string jobManifestPath(unsigned long long jobId) {
    return openedStore()->jobsDirectory() + "/" + std::to_string(jobId) + kSuffix;
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
    if (!createDurably(path, text, store->modes())) {
        const bool exists = errno == EEXIST;
        throw StoreError(exists ? StoreError::Kind::JobExists : StoreError::Kind::Failed,
                         systemError("cannot write the job's manifest", path));
    }
}

std::optional<std::string> jobManifest(unsigned long long jobId) {
    const std::string path = jobManifestPath(jobId);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        throw StoreError(StoreError::Kind::Failed, systemError("cannot open", path));
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        throw StoreError(StoreError::Kind::Failed, systemError("cannot stat", path));
    }
    if (!S_ISREG(status.st_mode) || status.st_size > kMaxManifestBytes) {
        ::close(fd);
        throw StoreError(StoreError::Kind::Failed,
                         path + " is not a regular file of a manifest's size");
    }
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t got = ::read(fd, text.data() + done, text.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            const int saved = got < 0 ? errno : EIO;
            ::close(fd);
            errno = saved;
            throw StoreError(StoreError::Kind::Failed, systemError("cannot read", path));
        }
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return text;
}

std::vector<unsigned long long> jobsWithManifests() {
    std::vector<unsigned long long> ids;
    const std::string directory = openedStore()->jobsDirectory();
    DIR* listing = ::opendir(directory.c_str());
    if (!listing) {
        if (errno == ENOENT) return ids;
        throw StoreError(StoreError::Kind::Failed, systemError("cannot read", directory));
    }
    static const std::regex name(R"(([0-9]{1,20})\.manifest\.json)");
    while (const dirent* entry = ::readdir(listing)) {
        std::cmatch match;
        if (std::regex_match(entry->d_name, match, name)) {
            errno = 0;
            const unsigned long long id = std::strtoull(match[1].first, nullptr, 10);
            if (errno == 0) ids.push_back(id);
        }
    }
    ::closedir(listing);
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace localplatform
