#include "jobs/wal/WalPush.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>

#include "archive/WalArchive.h"
#include "base/AgentError.h"
#include "base/DirectoryNames.h"
#include "base/RelativePath.h"
#include "base/Sha256.h"
#include "jobs/backup/BackupJob.h"
#include "jobs/wal/PusherLock.h"
#include "platform/local/StoreSession.h"
#include "session/StoreSession.h"
#include "wal/ArchiveStatus.h"
#include "wal/WalFileName.h"
#include "wal/WalSegmentHeader.h"

namespace {

// How often a wal-push that waits on another one looks at the archive.
constexpr std::chrono::milliseconds kWaitLook{100};
// The bytes of a batch that make another stream worth its pause: 16
// segments of 16 MiB.
constexpr uint64_t kBytesPerStream = uint64_t{256} << 20;

// A WAL file to archive, as it was looked at.
struct WalFile {
    std::string path;
    std::string name;
    mutable std::string sha256;  // read when first needed: most files are not archived yet
    uint64_t size = 0;
    std::string systemIdentifier;  // a segment's, from its header
};

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads what is needed to archive the file at path and checks a segment
// against its name. Throws AgentError (bad input).
WalFile examine(const std::string& path) {
    WalFile file;
    file.path = path;
    file.name = baseName(path);
    const std::optional<WalFileName> name = parseWalFileName(file.name);
    if (!name) throw badInput(path + " is not a WAL file that PostgreSQL archives");
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw badInput("cannot read " + path + ": " + std::strerror(errno));
    struct stat info;
    std::string first(kWalLongPageHeaderBytes, '\0');
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const ssize_t got = regular ? ::pread(fd, first.data(), first.size(), 0) : -1;
    ::close(fd);
    if (!regular) throw badInput(path + " is not a regular file");
    file.size = static_cast<uint64_t>(info.st_size);
    if (name->kind == WalFileKind::Segment || name->kind == WalFileKind::PartialSegment) {
        first.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        const std::string mismatch = walSegmentMismatch(file.name, first, file.size);
        if (!mismatch.empty()) throw badInput(mismatch);
        file.systemIdentifier = systemIdentifierText(*parseWalLongPageHeader(first));
    }
    return file;
}

// True when the archive holds the file with its bytes; throws AgentError
// (failed job) when it holds other bytes under its name, or the file is of
// another cluster than the store's.
bool archived(const WalArchive& archive, const WalFile& file) {
    if (!file.systemIdentifier.empty() && !archive.systemIdentifier.empty() &&
        file.systemIdentifier != archive.systemIdentifier) {
        throw jobFailed(file.name + " belongs to the cluster with system identifier " +
                        file.systemIdentifier + "; this store archives the WAL of " +
                        archive.systemIdentifier);
    }
    const auto found = archive.files.find(file.name);
    if (found == archive.files.end()) return false;
    if (found->second.size == file.size && file.sha256.empty()) file.sha256 = sha256OfFile(file.path);
    if (found->second.size != file.size || found->second.sha256 != file.sha256) {
        throw jobFailed(file.name + " is archived already (job " +
                        std::to_string(found->second.jobId) +
                        ") with other contents; it is not archived again");
    }
    return true;
}

// The file, and every other file ready in its directory that the archive
// lacks, in the order PostgreSQL archives them. A ready file that cannot be
// taken now is left to its own wal-push, which says why.
std::vector<WalFile> batchOf(const WalFile& own, const WalArchive& archive, std::size_t limit) {
    std::vector<WalFile> batch;
    const std::string directory = directoryOf(own.path);
    struct stat status;
    std::vector<std::string> ready;
    const std::string statusDirectory = directory + "/archive_status";
    if (::stat(statusDirectory.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        ready = walFilesReadyForArchive(directory, limit);
    }
    if (std::find(ready.begin(), ready.end(), own.name) == ready.end()) batch.push_back(own);
    for (const std::string& name : ready) {
        if (name == own.name) {
            batch.push_back(own);
            continue;
        }
        try {
            WalFile file = examine(directory + "/" + name);
            if (!archived(archive, file)) batch.push_back(std::move(file));
        } catch (const AgentError&) {
        }
    }
    return batch;
}

// A timeline history file's text, which its job's manifest records too.
std::string historyText(const std::string& path) {
    constexpr std::size_t kLongest = 1 << 20;
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) throw jobFailed("cannot read " + path);
    if (text.size() > kLongest || !validUtf8(text)) {
        throw badInput(path + " is not a timeline history file: too long, or not text");
    }
    return text;
}

void pushBatch(const std::vector<WalFile>& batch, const WalArchive& archive,
               const WalPushOptions& options, const localplatform::Config& config,
               JsonReport& json) {
    BackupOptions backup;
    ManifestWal wal;
    wal.systemIdentifier = archive.systemIdentifier;
    wal.segmentSize = archive.segmentSize;
    for (const WalFile& file : batch) {
        backup.inputs.push_back(file.path);
        if (parseWalFileName(file.name)->kind == WalFileKind::TimelineHistory) {
            wal.histories[file.name] = historyText(file.path);
        }
        if (wal.systemIdentifier.empty()) wal.systemIdentifier = file.systemIdentifier;
        if (wal.segmentSize == 0 && !file.systemIdentifier.empty()) wal.segmentSize = file.size;
    }
    // Each stream's archive file costs a pause of its own, one after another:
    // a stream more pays for itself only with a batch large enough to keep
    // the streams set up before it writing meanwhile.
    uint64_t bytes = 0;
    for (const WalFile& file : batch) bytes += file.size;
    backup.streams = std::clamp<unsigned long>(
        static_cast<unsigned long>(bytes / kBytesPerStream) + 1, 1, options.streams);
    backup.wal = wal;
    runBackup(backup, config, json);
}

}  // namespace

void runWalPush(const WalPushOptions& options, localplatform::Config config, JsonReport& json) {
    const WalFile own = examine(options.path);
    // The server waits on this call: a silent store fails it within the
    // media timeout, and the server tries again later.
    config.giveUpOnSilentStore = true;
    openStoreFor(config, localplatform::Access::ReadWrite, true);
    PusherLock lock(localplatform::storeHostDirectory());
    const auto deadline = std::chrono::steady_clock::now() + config.mediaTimeout;
    for (;;) {
        const WalArchive archive = readWalArchive();
        if (archived(archive, own)) return;
        if (lock.retake()) {
            pushBatch(batchOf(own, archive, options.batchLimit), archive, options, config, json);
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            throw jobFailed("another wal-push of this store kept on archiving and " + own.name +
                            " is not archived yet; PostgreSQL will try it again");
        }
        std::this_thread::sleep_for(kWaitLook);
    }
}
