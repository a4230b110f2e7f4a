#include "RestoreJob.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <algorithm>
#include <vector>

#include "AgentError.h"
#include "AgentStore.h"
#include "BackupJob.h"
#include "Checks.h"
#include "Interrupt.h"
#include "Manifest.h"
#include "OutputFile.h"
#include "PartialOutputs.h"
#include "Progress.h"
#include "Sha256.h"
#include "platform/ZebArchive.h"
#include "platform/local/LocalPlatform.h"
#include "restore/RestorePipelineSetup.h"

namespace {

std::string identity(const ManifestStream& s) {
    return archiveFileName(s.trellanId, s.groupNumber, s.afileId);
}

// Explains why the archive files could not be opened, when the catalog
// knows: a wrong store, an invalidated or incomplete file.
void explainOpenFailure(const Manifest& manifest, const std::string& store) {
    for (const ManifestStream& s : manifest.streams) {
        const std::string file = "archive file " + identity(s) + " of stream " +
                                 std::to_string(s.stream);
        localplatform::ArchiveFileRecord record;
        if (!localplatform::findArchiveFile(s.trellanId, s.groupNumber, s.afileId, &record)) {
            throw badInput(file + " is not in the store " + store +
                           "; is this the store the backup used?");
        }
        if (record.state == "invalidated") {
            throw badInput(file + " was invalidated (job " + std::to_string(record.jobId) +
                           " did not complete); it cannot be restored");
        }
        if (record.state != "closed") {
            throw badInput(file + " is incomplete (still being written, or its job did not "
                                  "finish); it cannot be restored");
        }
    }
}

// Reads one stream's data into its place in the output and checks it.
void readStream(ZebArchive* archive, const ManifestStream& s, OutputFile& output) {
    ReadBufArgs_t readArgs;
    ReadBufRet_t readRet;
    FreeBufArgs_t freeArgs;
    Sha256 digest;
    uint64_t done = 0;
    while (done < s.size) {
        if (archive->readBuffer(&readArgs, &readRet) == 0) {
            throw jobFailed("stream " + std::to_string(s.stream) + ", archive file " +
                            identity(s) + ": the media side delivered " + std::to_string(done) +
                            " of " + std::to_string(s.size) + " bytes (see the log above)");
        }
        if (readRet.messageType == localplatform::kDataMessage) {
            const auto length = static_cast<std::size_t>(
                std::min<uint64_t>(readRet.dataLength, s.size - done));
            output.writeAt(readRet.data, length, s.sourceOffset + done);
            digest.update(readRet.data, length);
            done += length;
        }
        archive->freeBuffer(&freeArgs, nullptr);
    }
    if (digest.hex() != s.sha256) {
        throw jobFailed("stream " + std::to_string(s.stream) + ": archive file " + identity(s) +
                        " does not match the manifest's checksum; it is damaged");
    }
}

// Ends the restore on the media side however the job ends.
class RestoreSession {
public:
    explicit RestoreSession(RestorePipelineSetup& restore) : m_restore(restore) {}
    ~RestoreSession() {
        if (!m_ended) end();
    }
    RestoreSession(const RestoreSession&) = delete;
    RestoreSession& operator=(const RestoreSession&) = delete;

    // Closes the streams and shuts the restore down; false when a close failed.
    bool end() {
        m_ended = true;
        const bool closed = m_restore.closePipeline();
        m_restore.shutDownPipeline();
        return closed;
    }

private:
    RestorePipelineSetup& m_restore;
    bool m_ended = false;
};

}  // namespace

std::string partialOutputDirectory() { return localplatform::storeDirectory() + "/partial"; }

void runRestore(const RestoreOptions& options, const localplatform::Config& config) {
    if (options.requests < 1) throw badInput("--requests must be at least 1");
    const Manifest manifest = loadManifest(options.manifest);
    requireNewFilePlace(options.output, "output", options.replace);
    openStoreFor(config, localplatform::Access::ReadOnly, false);
    OutputFile::Options outputOptions;
    outputOptions.replace = options.replace;
    outputOptions.namedTemporary = options.namedTemporary;
    if (::access(localplatform::storeDirectory().c_str(), W_OK) == 0) {
        outputOptions.recordDirectory = partialOutputDirectory();
    }
    OutputFile output(options.output, outputOptions);
    // A restore has nothing of the store's to undo: on a signal it only
    // removes its own partial output and ends.
    onInterrupt([](int signal) {
        discardPartialOutputs();
        std::fprintf(stderr, "pipeline-agent: nothing was restored\n");
        std::fflush(stderr);
        _exit(128 + signal);
    });

    const unsigned long long restoreJobId = newJobId();
    localplatform::setCurrentJob(restoreJobId);
    say("restoring %s (%llu bytes) over %zu streams as job %llu from %s",
        manifest.sourceName.c_str(), static_cast<unsigned long long>(manifest.sourceSize),
        manifest.streams.size(), restoreJobId, localplatform::storeDirectory().c_str());

    std::vector<RestoreArchiveInfo> list;
    for (const ManifestStream& s : manifest.streams) {
        RestoreArchiveInfo info;
        info.trellanId = s.trellanId;
        info.archiveObjectParam = static_cast<int64_t>(s.stream);
        info.afileId = s.afileId;
        info.groupNumber = s.groupNumber;
        info.seekOffset = s.seekOffset;
        info.readAll = true;
        list.push_back(info);
    }
    RestorePipelineSetup restore(restoreJobId, 0);
    restore.setRestoreArchiveFileInfoList(list);
    RestoreSession session(restore);
    for (unsigned long request = 1; request <= options.requests; ++request) {
        say("request %lu of %lu: setting up %zu streams", request, options.requests,
            manifest.streams.size());
        if (!restore.setupPipeline()) {
            explainOpenFailure(manifest, config.storeDir.empty() ? localplatform::storeDirectory() : config.storeDir);
            throw jobFailed("setting up restore request " + std::to_string(request) +
                            " failed (see the log above)");
        }
        const auto streams = restore.getStreamPipeinfoMap();
        for (const ManifestStream& s : manifest.streams) {
            readStream(streams.at(s.stream).archive, s, output);
        }
        say("request %lu of %lu: read all %zu streams, checksums match", request,
            options.requests, manifest.streams.size());
    }
    if (!session.end()) say("warning: closing the streams failed (see the log above)");

    if (output.sha256() != manifest.sourceSha256) {
        throw jobFailed("the restored file does not match the manifest's checksum");
    }
    localplatform::crashPoint("output checked");
    output.commit();
    localplatform::crashPoint("output committed");
    say("restored %s: %llu bytes, checksum verified", options.output.c_str(),
        static_cast<unsigned long long>(manifest.sourceSize));
}
