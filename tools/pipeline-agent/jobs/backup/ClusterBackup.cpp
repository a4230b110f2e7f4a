#include "jobs/backup/ClusterBackup.h"


#include <cstring>
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "archive/WalArchive.h"
#include "base/AgentError.h"
#include "base/DirectoryNames.h"
#include "base/Console.h"
#include "base/Names.h"
#include "base/RelativePath.h"
#include "postgres/ClusterConnection.h"
#include "postgres/ClusterFiles.h"
#include "postgres/PageReadCheck.h"
#include "wal/WalFileName.h"

namespace {

// How often a finished backup looks whether its WAL is archived.
constexpr std::chrono::milliseconds kArchiveLook{250};
// pg_backup_start's checkpoint, spread or not, and pg_backup_stop, may take
// longer than a query.
constexpr std::chrono::minutes kBackupCallWait{15};

std::string parentOf(const std::string& relative) {
    const auto slash = relative.rfind('/');
    return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

}  // namespace

struct ClusterBackup::Started {
    ClusterFacts facts;
    BackupStart start;
    uint64_t startLsn = 0;
    ClusterFiles files = ClusterFiles::dataDirectory();
};

std::unique_ptr<ClusterBackup> ClusterBackup::start(const std::string& conninfo,
                                                    unsigned long long jobId,
                                                    std::chrono::milliseconds timeout,
                                                    bool allowBadPages, bool withWal) {
    std::unique_ptr<ClusterBackup> backup(new ClusterBackup());
    backup->m_allowBadPages = allowBadPages;
    backup->m_withWal = withWal;
    backup->m_connection =
        std::make_unique<ClusterConnection>(ClusterConnection::open(conninfo, timeout));
    backup->m_started = std::make_unique<Started>();
    Started& started = *backup->m_started;
    started.facts = backup->m_connection->facts();
    if (started.facts.inRecovery) {
        throw badInput("the cluster is a standby; backup --postgres takes a primary");
    }
    started.start = backup->m_connection->startBackup("pipeline-agent job " + std::to_string(jobId),
                                                      true, kBackupCallWait);
    started.startLsn = parseLsn(started.start.lsn).value_or(0);
    say("PostgreSQL backup started at %s (WAL %s, timeline %u)", started.start.lsn.c_str(),
        started.start.walFile.c_str(), static_cast<unsigned>(started.start.timeline));
    return backup;
}

ClusterBackup::~ClusterBackup() {
    m_walStream.reset();  // its writer uses the connection
}

std::unique_ptr<PipeInput> ClusterBackup::walInput() {
    if (!m_withWal) return nullptr;
    const Started& started = *m_started;
    m_walStream = std::make_unique<WalStream>(
        started.facts.dataDirectory + "/pg_wal", started.start.walFile,
        started.facts.walSegmentBytes,
        [this] { return m_connection->stopBackup(false, kBackupCallWait); });
    return m_walStream->input(treeName(started.facts.dataDirectory) + ".wal");
}

const std::string& ClusterBackup::dataDirectory() const { return m_started->facts.dataDirectory; }

const std::string& ClusterBackup::systemIdentifier() const {
    return m_started->facts.systemIdentifier;
}

namespace {

// The rules of a walk of base (the data directory or a tablespace's
// location) by files; unlogged relations are found per database directory
// as first asked, in cache.
TreeWalkRules rulesOf(const std::string& base, const ClusterFiles& files, const struct stat* store,
                      std::shared_ptr<std::map<std::string, std::set<std::string>>> cache) {
    TreeWalkRules rules;
    rules.exclude = store;
    rules.live = true;
    rules.keep = [base, files, cache](const std::string& relative, TreeEntry::Kind kind) {
        const std::string parent = parentOf(relative);
        std::set<std::string> none;
        const std::set<std::string>* unlogged = &none;
        if (!parent.empty() && files.isDatabaseDirectory(parent)) {
            const std::string directory = base + "/" + parent;
            auto found = cache->find(directory);
            if (found == cache->end()) {
                found = cache->emplace(directory, unloggedRelationsIn(directoryNames(directory).value_or(std::vector<std::string>{}))).first;
            }
            unlogged = &found->second;
        }
        return files.kept(relative,
                          kind == TreeEntry::Kind::Directory || kind == TreeEntry::Kind::Symlink,
                          *unlogged);
    };
    rules.takenEmpty = [files](const std::string& relative) { return files.takenEmpty(relative); };
    return rules;
}

}  // namespace

std::vector<TreeEntry> ClusterBackup::walk(
    const std::function<void(const std::string& path, const char* what)>& skipped,
    const struct stat* store) const {
    const ClusterFacts& facts = m_started->facts;
    auto cache = std::make_shared<std::map<std::string, std::set<std::string>>>();
    std::vector<TreeEntry> entries = walkTree(
        facts.dataDirectory, skipped,
        rulesOf(facts.dataDirectory, ClusterFiles::dataDirectory(), store, cache));
    const std::string root = treeName(facts.dataDirectory);
    for (const ClusterTablespace& space : facts.tablespaces) {
        const ClusterFiles files = ClusterFiles::tablespace(facts.tablespaceVersionDirectory());
        const std::string from = treeName(space.location);
        for (TreeEntry& entry :
             walkTree(space.location, skipped, rulesOf(space.location, files, store, cache))) {
            entry.name = root + "/pg_tblspc/" + space.oid + entry.name.substr(from.size());
            entries.push_back(std::move(entry));
        }
    }
    const std::string last = root + "/" + kReadLast;
    std::stable_partition(entries.begin(), entries.end(),
                          [&](const TreeEntry& entry) { return entry.name != last; });
    return entries;
}

void ClusterBackup::watch(InputFile& input, const std::string& relative) {
    const Started& started = *m_started;
    std::optional<RelationFile> relation;
    const std::string spaces = "pg_tblspc/";
    if (relative.starts_with(spaces)) {
        // pg_tblspc/<oid>/<this server's directory>/<database>/<relation>
        const auto oidEnd = relative.find('/', spaces.size());
        if (oidEnd != std::string::npos) {
            relation = ClusterFiles::tablespace(started.facts.tablespaceVersionDirectory())
                           .relationFile(relative.substr(oidEnd + 1));
        }
    } else {
        relation = started.files.relationFile(relative);
    }
    if (relative == kReadLast) {
        // The last file: once it is read, the backup may stop.
        const uint64_t size = input.size();
        input.readLive([this, size](const char*, std::size_t length, uint64_t offset) {
            if (offset + length >= size && m_walStream) m_walStream->release();
        });
        return;
    }
    if (!started.facts.dataChecksums || !relation) {
        input.readLive({});
        return;
    }
    const std::string path = input.path();
    auto check = std::make_shared<PageReadCheck>(
        relation->firstBlock(started.facts.segmentBlocks), started.startLsn,
        [this, path](uint32_t page, uint32_t block) {
            ++m_badPages;
            say("%s: page %u (block %u of its relation) fails its checksum",
                printablePath(path).c_str(), static_cast<unsigned>(page),
                static_cast<unsigned>(block));
        });
    input.readLive([check](const char* data, std::size_t length, uint64_t offset) {
        check->read(data, length, offset);
    });
}

namespace {

void requireSameCluster(const WalArchive& archive, const ManifestCluster& cluster) {
    if (!archive.systemIdentifier.empty() &&
        archive.systemIdentifier != cluster.systemIdentifier) {
        throw jobFailed("this store archives the WAL of the cluster with system identifier " +
                        archive.systemIdentifier + ", not of this one (" +
                        cluster.systemIdentifier + "): back it up into a store of its own");
    }
}

// The first segment from cluster's start to its stop that archive lacks;
// empty when it holds them all.
std::string firstMissing(const WalArchive& archive, const ManifestCluster& cluster) {
    const WalSegmentSize size(cluster.segmentSize);
    const std::optional<WalFileName> first = parseWalFileName(cluster.startWal);
    const std::optional<WalFileName> last = parseWalFileName(cluster.stopWal);
    if (!first || !last) throw jobFailed("the server named no WAL segment for the backup");
    const WalSegment from = walSegmentOf(*first, size);
    const WalSegment to = walSegmentOf(*last, size);
    for (uint64_t segno = from.segno; segno <= to.segno; ++segno) {
        const std::string name = walSegmentName({from.timeline, segno}, size);
        if (!archive.files.contains(name)) return name;
    }
    return "";
}

// Waits up to walWait for the store's archive to hold the WAL from the
// backup's start to its stop: without it the copy is no backup.
void awaitArchivedWal(const ManifestCluster& cluster, std::chrono::milliseconds walWait) {
    const auto deadline = std::chrono::steady_clock::now() + walWait;
    for (;;) {
        const WalArchive archive = readWalArchive();
        requireSameCluster(archive, cluster);
        const std::string missing = firstMissing(archive, cluster);
        if (missing.empty()) return;
        if (std::chrono::steady_clock::now() >= deadline) {
            throw jobFailed("the archive does not hold " + missing +
                            ", which this backup needs (it needs " + cluster.startWal + " to " +
                            cluster.stopWal +
                            "): is the cluster's archive_command `pipeline-agent --store "
                            "STORE wal-push %p` with this store?");
        }
        std::this_thread::sleep_for(kArchiveLook);
    }
}

}  // namespace

ManifestCluster ClusterBackup::finish(const std::string& recordedName,
                                      std::chrono::milliseconds walWait) {
    const Started& started = *m_started;
    const BackupStop stop =
        m_walStream ? m_walStream->finish() : m_connection->stopBackup(false, kBackupCallWait);
    m_walStream.reset();
    m_connection.reset();
    if (m_badPages.load() > 0 && !m_allowBadPages) {
        throw jobFailed(std::to_string(m_badPages.load()) +
                        " pages of the cluster fail their checksums (named above); give "
                        "--allow-bad-pages to keep such a backup");
    }
    ManifestCluster cluster;
    cluster.systemIdentifier = started.facts.systemIdentifier;
    cluster.serverVersion = started.facts.serverVersionNum;
    cluster.timeline = started.start.timeline;
    cluster.segmentSize = started.facts.walSegmentBytes;
    cluster.startLsn = started.start.lsn;
    cluster.stopLsn = stop.lsn;
    cluster.startWal = started.start.walFile;
    cluster.stopWal = stop.walFile;
    cluster.startedAt = started.start.serverTime;
    cluster.stoppedAt = stop.serverTime;
    cluster.backupLabel = stop.backupLabel;
    cluster.tablespaceMap = stop.tablespaceMap;
    cluster.dataDirectory = recordedName;
    cluster.withWal = m_withWal;
    if (m_withWal) {
        requireSameCluster(readWalArchive(), cluster);
    } else {
        awaitArchivedWal(cluster, walWait);
    }
    say("PostgreSQL backup stopped at %s; the %s holds its WAL (%s to %s)", stop.lsn.c_str(),
        m_withWal ? "job" : "archive", cluster.startWal.c_str(), cluster.stopWal.c_str());
    return cluster;
}
