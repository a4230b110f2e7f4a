#include "jobs/wal/WalFetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "archive/WalArchive.h"
#include "base/AgentError.h"
#include "base/DirectoryNames.h"
#include "base/Sha256.h"
#include "jobs/restore/RestoreJob.h"
#include "session/StoreSession.h"
#include "wal/WalFileName.h"

namespace {

constexpr const char* kSpool = "pipeline-agent.spool";

void syncDirectory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw jobFailed("cannot open " + directory + ": " + std::strerror(errno));
    const int synced = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (synced != 0) throw jobFailed("cannot sync " + directory + ": " + std::strerror(error));
}

// The spool's files of names before `name`, which replay has gone past.
void dropPassed(const std::string& spool, const std::string& name) {
    for (const std::string& each : directoryNames(spool).value_or(std::vector<std::string>{})) {
        if (each < name && parseWalFileName(each)) ::unlink((spool + "/" + each).c_str());
    }
}

// Restores job jobId whole into the spool: into a directory of its own
// first, then each file renamed into the spool.
void spoolJob(unsigned long long jobId, const std::string& spool,
              const localplatform::Config& config, JsonReport& json) {
    if (::mkdir(spool.c_str(), 0700) != 0 && errno != EEXIST) {
        throw jobFailed("cannot make " + spool + ": " + std::strerror(errno));
    }
    const std::string landing = spool + "/.job-" + std::to_string(jobId) + "-" +
                                std::to_string(::getpid());
    if (::mkdir(landing.c_str(), 0700) != 0) {
        throw jobFailed("cannot make " + landing + ": " + std::strerror(errno));
    }
    try {
        RestoreOptions restore;
        restore.job = jobId;
        restore.output = landing;
        runRestore(restore, config, json);
    } catch (...) {
        for (const std::string& each : directoryNames(landing).value_or(std::vector<std::string>{})) ::unlink((landing + "/" + each).c_str());
        ::rmdir(landing.c_str());
        throw;
    }
    for (const std::string& each : directoryNames(landing).value_or(std::vector<std::string>{})) {
        ::rename((landing + "/" + each).c_str(), (spool + "/" + each).c_str());
    }
    ::rmdir(landing.c_str());
}

}  // namespace

bool runWalFetch(const WalFetchOptions& options, localplatform::Config config, JsonReport& json) {
    if (!parseWalFileName(options.name)) {
        throw badInput(options.name + " is not the name of a WAL file that PostgreSQL archives");
    }
    openStoreFor(config, localplatform::Access::ReadOnly, false);
    const WalArchive archive = readWalArchive();
    const auto found = archive.files.find(options.name);
    if (found == archive.files.end()) return false;
    const ArchivedWal& wanted = found->second;

    const std::string directory = directoryOf(options.path);
    const std::string spool = directory + "/" + kSpool;
    const std::string spooled = spool + "/" + options.name;
    dropPassed(spool, options.name);
    struct stat status;
    if (::lstat(spooled.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        sha256OfFile(spooled) != wanted.sha256) {
        ::unlink(spooled.c_str());
        spoolJob(wanted.jobId, spool, config, json);
    }
    if (::lstat(spooled.c_str(), &status) != 0 || sha256OfFile(spooled) != wanted.sha256) {
        throw jobFailed(options.name + " restored from job " + std::to_string(wanted.jobId) +
                        " does not match what was archived");
    }
    if (::rename(spooled.c_str(), options.path.c_str()) != 0) {
        throw jobFailed("cannot place " + options.path + ": " + std::strerror(errno));
    }
    syncDirectory(directory);
    return true;
}
