#include "jobs/wal/ClusterRestore.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "archive/WalArchive.h"
#include "base/AgentError.h"
#include "base/DirectoryNames.h"
#include "base/Console.h"
#include "jobs/restore/RestoreJob.h"
#include "jobs/wal/TablespacePlaces.h"
#include "archive/RecoveryWindow.h"
#include "manifest/StoredManifest.h"
#include "platform/local/StoreSession.h"
#include "session/StoreSession.h"
#include "wal/WalFileName.h"

namespace {

std::vector<std::string> namesIn(const std::string& directory) {
    std::optional<std::vector<std::string>> names = directoryNames(directory);
    if (!names) throw jobFailed("cannot read " + directory + ": " + std::strerror(errno));
    return *names;
}

// The output: a new directory, or an empty one. Bad input otherwise.
void requireEmptyPlace(const std::string& output) {
    struct stat status;
    if (::lstat(output.c_str(), &status) != 0) {
        if (errno == ENOENT) return;
        throw badInput("cannot look at " + output + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(status.st_mode)) throw badInput(output + " is not a directory");
    if (!namesIn(output).empty()) {
        throw badInput(output + " is not empty; a data directory is restored into a new or "
                                "empty directory");
    }
}

std::optional<uint32_t> timelineAsked(const RecoveryTarget& target, uint32_t backupTimeline) {
    switch (target.timelineKind) {
    case RecoveryTimelineKind::Id: return target.timeline;
    case RecoveryTimelineKind::Current: return backupTimeline;
    default: return std::nullopt;  // latest, PostgreSQL's default
    }
}

std::string agentPath() {
    char path[PATH_MAX];
    const ssize_t got = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (got <= 0) throw jobFailed("cannot find this agent's own path");
    return std::string(path, static_cast<std::size_t>(got));
}

// restore_command's words for /bin/sh: as they are when they hold nothing
// the shell reads otherwise, else single-quoted.
std::string shellWord(const std::string& text) {
    const bool plain = !text.empty() && text.find_first_not_of(
                                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                            "0123456789/._-+:=@,") == std::string::npos;
    if (plain) return text;
    std::string word = "'";
    for (const char c : text) {
        if (c == '\'') {
            word += "'\\''";
        } else {
            word += c;
        }
    }
    return word + "'";
}

void writeNew(const std::string& path, const std::string& text, int flags) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags, 0600);
    if (fd < 0) throw jobFailed("cannot write " + path + ": " + std::strerror(errno));
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                         ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!written) throw jobFailed("cannot write " + path + ": " + std::strerror(error));
}

// The data directory restored under staging/<its name>, moved up into output.
void moveUp(const std::string& staging, const std::string& root, const std::string& output) {
    const std::string tree = staging + "/" + root;
    for (const std::string& name : namesIn(tree)) {
        if (::rename((tree + "/" + name).c_str(), (output + "/" + name).c_str()) != 0) {
            throw jobFailed("cannot move " + name + " into " + output + ": " + std::strerror(errno));
        }
    }
    ::rmdir(tree.c_str());
}

// A backup's own WAL (--with-wal), restored as one stream of segments into
// staging/<its name>: each segment into pg_wal/ under its name, in order
// from the backup's first.
void placeOwnWal(const std::string& stream, const ManifestCluster& cluster,
                 const std::string& output) {
    const int in = ::open(stream.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw jobFailed("cannot read " + stream + ": " + std::strerror(errno));
    const WalSegmentSize size(cluster.segmentSize);
    std::string segment(cluster.segmentSize, '\0');
    std::string name = cluster.startWal;
    for (;; name = nextWalSegmentName(name, size)) {
        std::size_t filled = 0;
        while (filled < segment.size()) {
            const ssize_t got = ::read(in, segment.data() + filled, segment.size() - filled);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            filled += static_cast<std::size_t>(got);
        }
        if (filled == 0) break;
        if (filled != segment.size()) {
            ::close(in);
            throw jobFailed(stream + " ends inside a segment");
        }
        writeNew(output + "/pg_wal/" + name, segment, O_EXCL);
    }
    ::close(in);
    ::unlink(stream.c_str());
}

void writeRecoveryFiles(const std::string& output, const ManifestCluster& cluster,
                        const RecoveryTarget& target, const std::string& restoreCommand,
                        unsigned long long jobId) {
    // No tablespace_map: the links in pg_tblspc/ lead to the tablespaces'
    // new places, and the map would have the server make them lead to where
    // they lay on the source.
    writeNew(output + "/backup_label", cluster.backupLabel, O_EXCL);
    std::string settings = "\n# restore of pipeline-agent job " + std::to_string(jobId) + "\n";
    for (const std::string& line : recoverySettingsLines(target, restoreCommand)) {
        settings += line + "\n";
    }
    writeNew(output + "/postgresql.auto.conf", settings, O_APPEND);
    writeNew(output + "/recovery.signal", "", O_EXCL);
}

// What a restore to a moment settled before it writes anything.
struct ClusterRestorePlan {
    const ArchivedBaseBackup* backup = nullptr;
    std::vector<TablespacePlace> places;
    std::string restoreCommand;
};

// Opens the store and settles the backup, the tablespaces' places and the
// restore_command; throws AgentError (bad input) for what is refused.
ClusterRestorePlan planRestore(const ClusterRestoreOptions& options, const RecoveryTarget& target,
                               const localplatform::Config& config, WalArchive& archive) {
    openStoreFor(config, localplatform::Access::ReadOnly, false);
    archive = readWalArchive();
    const uint32_t anyTimeline =
        archive.backups.empty() ? 1 : archive.backups.back().cluster.timeline;
    const std::vector<BackupReach> reaches =
        reachOf(archive, coverageOf(archive), timelineAsked(target, anyTimeline));
    ClusterRestorePlan plan;
    plan.backup = chooseBackup(reaches, options.job, target).backup;
    plan.places = placeTablespaces(plan.backup->cluster.tablespaceMap, options.tablespaceMappings);
    const std::string store = localplatform::storeCapabilities(config).hostFolder
                                  ? localplatform::storeDirectory()
                                  : localplatform::configuredStoreDirectory(config);
    plan.restoreCommand =
        shellWord(agentPath()) + " --store " + shellWord(store) + " wal-fetch %f %p";
    recoverySettingsLines(target, plan.restoreCommand);  // refuses what cannot be quoted
    return plan;
}

// The backup's files restored into output, made a data directory that
// recovers to target.
void placeDataDirectory(const ClusterRestoreOptions& options, const RecoveryTarget& target,
                        const ClusterRestorePlan& plan, const localplatform::Config& config,
                        JsonReport& json) {
    const ArchivedBaseBackup& backup = *plan.backup;
    const std::string staging = options.output + "/.pipeline-agent-restore";
    if (::mkdir(staging.c_str(), 0700) != 0) {
        throw jobFailed("cannot make " + staging + ": " + std::strerror(errno));
    }
    RestoreOptions restore;
    restore.job = backup.jobId;
    restore.output = staging;
    restore.key = options.key;
    restore.rateLimit = options.rateLimit;
    runRestore(restore, config, json);
    moveUp(staging, backup.cluster.dataDirectory, options.output);
    if (backup.cluster.withWal) {
        placeOwnWal(staging + "/" + backup.cluster.dataDirectory + ".wal", backup.cluster,
                    options.output);
    }
    ::rmdir(staging.c_str());
    moveTablespaces(options.output, plan.places);
    writeRecoveryFiles(options.output, backup.cluster, target, plan.restoreCommand, backup.jobId);
    ::chmod(options.output.c_str(), 0700);
}

}  // namespace

void runClusterRestore(const ClusterRestoreOptions& options, localplatform::Config config,
                       JsonReport& json) {
    const RecoveryTarget target = parseRecoveryTarget(options.target, systemLocalTimeToUtc);
    requireEmptyPlace(options.output);
    // Until the backup is chosen, the store's restore log; then its job's.
    config.storeLogName = "restore";
    WalArchive archive;
    const ClusterRestorePlan plan = planRestore(options, target, config, archive);
    const bool made = ::mkdir(options.output.c_str(), 0700) == 0;
    if (!made && errno != EEXIST) {
        throw badInput("cannot make " + options.output + ": " + std::strerror(errno));
    }
    try {
        placeDataDirectory(options, target, plan, config, json);
    } catch (...) {
        // Nothing a server could be started on is left.
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(options.output, ignored)) {
            std::filesystem::remove_all(entry.path(), ignored);
        }
        if (made) ::rmdir(options.output.c_str());
        removeTablespaces(plan.places);
        throw;
    }
    say("restored PostgreSQL base backup job %llu into %s; a server started on it recovers "
        "from the archive (%s)",
        plan.backup->jobId, options.output.c_str(),
        target.kind == RecoveryTargetKind::Latest ? "to the newest WAL"
                                                  : ("to " + target.text).c_str());
}

bool isClusterBackup(const localplatform::Config& config, unsigned long long jobId) {
    openStoreFor(config, localplatform::Access::ReadOnly, false);
    const std::optional<Manifest> manifest = storedManifest(jobId);
    // The restore opens it again, for its own log.
    localplatform::closeStore();
    return manifest && manifest->cluster.has_value();
}
