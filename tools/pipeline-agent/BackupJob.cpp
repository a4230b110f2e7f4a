#include "BackupJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include "AgentError.h"
#include "Checks.h"
#include "Interrupt.h"
#include "Manifest.h"
#include "Progress.h"
#include "AgentStore.h"
#include "Sha256.h"
#include "backup/BackupPipelineSetup.h"
#include "restore/RestorePipelineSetup.h"
#include "platform/local/LocalPlatform.h"

namespace {

constexpr std::size_t kChunk = 1 << 20;
// The type values this agent sets its pipelines up with: a full backup.
constexpr unsigned long kTypeDetail = 0;
constexpr unsigned long kTypeCode = 1;
constexpr unsigned long kCloseArchiveFiles = 1;
constexpr unsigned long kInvalidateArchiveFiles = 0;

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc;
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// The input, open for reading, with its size.
class InputFile {
public:
    explicit InputFile(const std::string& path) : m_path(path) {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0) throw badInput("cannot read input " + path + ": " + std::strerror(errno));
        struct stat info;
        if (::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(m_fd);
            throw badInput("input " + path + " is not a regular file");
        }
        m_size = static_cast<uint64_t>(info.st_size);
    }
    ~InputFile() { ::close(m_fd); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    uint64_t size() const { return m_size; }

    // Reads exactly length bytes at offset.
    void readAt(char* data, std::size_t length, uint64_t offset) const {
        while (length > 0) {
            const ssize_t got = ::pread(m_fd, data, length, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                throw jobFailed("cannot read input " + m_path + ": " +
                                (got == 0 ? "it shrank while being read" : std::strerror(errno)));
            }
            data += got;
            length -= static_cast<std::size_t>(got);
            offset += static_cast<uint64_t>(got);
        }
    }

private:
    std::string m_path;
    int m_fd;
    uint64_t m_size;
};

// Writes one stream's part of the input into its archive file.
ManifestStream writeStream(const InputFile& input, unsigned long long jobId,
                           unsigned long stream, uint64_t begin, uint64_t end,
                           bool simulateFailure, Sha256& sourceDigest) {
    ManifestStream written;
    written.stream = stream;
    written.sourceOffset = begin;
    written.size = end - begin;
    Sha256 digest;
    std::vector<char> buffer(kChunk);
    for (uint64_t offset = begin; offset < end;) {
        const auto length = static_cast<std::size_t>(std::min<uint64_t>(kChunk, end - offset));
        throwIfInterrupted();
        input.readAt(buffer.data(), length, offset);
        std::string error;
        if (simulateFailure) error = "simulated write failure";
        if (!error.empty() ||
            !localplatform::writeStream(jobId, stream, buffer.data(), length, &error)) {
            throw jobFailed("writing stream " + std::to_string(stream) + " failed: " + error);
        }
        digest.update(buffer.data(), length);
        sourceDigest.update(buffer.data(), length);
        offset += length;
    }
    written.sha256 = digest.hex();

    localplatform::ArchiveFileRecord file;
    if (!localplatform::createdArchiveFile(jobId, stream, &file)) {
        throw jobFailed("the platform created no archive file for stream " + std::to_string(stream));
    }
    written.trellanId = file.trellanId;
    written.groupNumber = file.groupNumber;
    written.afileId = file.afileId;
    return written;
}

}  // namespace

unsigned long long newJobId() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return static_cast<unsigned long long>(ms) * 100000ULL +
           static_cast<unsigned long long>(::getpid()) % 100000ULL;
}

void runBackup(const BackupOptions& options, localplatform::Config config) {
    constexpr unsigned long kMaxStreams = RestorePipelineSetup::kMaxStreams;
    if (options.streams < 1 || options.streams > kMaxStreams) {
        throw badInput("--streams must be from 1 to " + std::to_string(kMaxStreams) + ", not " +
                       std::to_string(options.streams));
    }
    requireReadableFile(options.input, "input");
    requireNewFilePlace(options.manifest, "manifest", false);
    const InputFile input(options.input);

    config.jobId = options.jobId != 0 ? options.jobId : newJobId();
    openStoreFor(config, localplatform::Access::ReadWrite, true);
    try {
        localplatform::beginJob(config.jobId);
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    // A signal cuts the pauses short and stops new archive files, so that
    // the setup fails fast and the job is invalidated below.
    onInterrupt([](int) { localplatform::interrupt(); });
    const unsigned long long jobId = config.jobId;
    const unsigned long streams = options.streams;
    say("backing up %s (%llu bytes) over %lu streams as job %llu into %s",
        options.input.c_str(), static_cast<unsigned long long>(input.size()), streams, jobId,
        localplatform::storeDirectory().c_str());
    say("setting up %lu streams; each pauses 2 s after its archive file is created", streams);

    BackupPipelineSetup job(jobId, input.size(), streams, baseName(options.input));
    Manifest manifest;
    manifest.jobId = jobId;
    manifest.sourceName = baseName(options.input);
    manifest.sourceSize = input.size();
    manifest.createdAt = utcNow();
    // The streams hold consecutive parts of the input, so one pass digests it.
    Sha256 sourceDigest;
    try {
        if (!job.setupPipeline(kTypeDetail, kTypeCode, streams,
                               "pipeline-agent backup of " + manifest.sourceName)) {
            throwIfInterrupted();
            throw jobFailed("setting up the streams failed (see the log above)");
        }
        for (unsigned long stream = 1; stream <= streams; ++stream) {
            const uint64_t begin = input.size() * (stream - 1) / streams;
            const uint64_t end = input.size() * stream / streams;
            manifest.streams.push_back(writeStream(input, jobId, stream, begin, end,
                                                   stream == options.failStream, sourceDigest));
            unsigned long long offset = 0;
            if (!job.getArchiveFileOffset(stream, offset) || offset != end - begin) {
                throw jobFailed("stream " + std::to_string(stream) +
                                " reports the wrong offset in its archive file");
            }
            const ManifestStream& written = manifest.streams.back();
            say("stream %lu: wrote %llu bytes to archive file %s", stream,
                static_cast<unsigned long long>(end - begin),
                archiveFileName(written.trellanId, written.groupNumber, written.afileId).c_str());
        }
    } catch (const std::exception&) {
        say("the backup failed; invalidating the job's archive files");
        job.closePipeline(kInvalidateArchiveFiles, false);
        localplatform::failJob(jobId);
        throw;
    }
    if (!job.closePipeline(kCloseArchiveFiles, false)) {
        // The streams the close did not reach are still held: invalidate them,
        // and let the job's failure settle the rest at the next cleanup.
        job.closePipeline(kInvalidateArchiveFiles, false);
        localplatform::failJob(jobId);
        throw jobFailed("closing the streams failed (see the log above); the job is marked failed");
    }
    manifest.sourceSha256 = sourceDigest.hex();
    if (interruptSignal() != 0) {
        localplatform::failJob(jobId);
        throwIfInterrupted();
    }
    saveManifest(manifest, options.manifest);
    localplatform::crashPoint("manifest saved");
    try {
        localplatform::completeJob(jobId);
    } catch (const localplatform::StoreError& error) {
        // A manifest of a job that is not complete must not pass for one.
        ::unlink(options.manifest.c_str());
        localplatform::failJob(jobId);
        throw jobFailed(std::string("cannot mark the job complete: ") + error.what());
    }
    say("backup complete: manifest %s", options.manifest.c_str());
}
