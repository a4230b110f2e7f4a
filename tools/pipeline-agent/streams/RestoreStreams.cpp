#include "streams/RestoreStreams.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "base/Sha256.h"
#include "streams/FileDigest.h"
#include "platform/EvEvent.h"
#include "platform/ZebArchive.h"
#include "platform/local/LocalPlatform.h"

namespace {

// Set when a stream fails, so that the others stop at their next delivery.
using Abandoned = std::atomic<bool>;

std::string where(const ManifestShare& share) {
    return "stream " + std::to_string(share.archive.stream) + ", archive file " +
           archiveFileName(share.archive);
}

// Reads one part of the file from its stream's archive object.
void readShare(ZebArchive* archive, const ManifestShare& share, std::size_t part,
               OutputFile& output, FileDigest& fileDigest, const Abandoned& abandoned,
               StreamPhases* phases) {
    Sha256 digest;
    uint64_t done = 0;
    while (done < share.size) {
        throwIfInterrupted();
        ReadBufArgs_t readArgs;
        readArgs.maxLength = std::min<uint64_t>(share.size - done, kRestoreChunk);
        ReadBufRet_t readRet;
        FreeBufArgs_t freeArgs;
        if (archive->readBuffer(&readArgs, &readRet) == 0) {
            throw jobFailed(where(share) + ": the media side delivered " + std::to_string(done) +
                            " of " + std::to_string(share.size) + " bytes");
        }
        if (readRet.messageType == localplatform::kDataMessage) {
            const auto length =
                static_cast<std::size_t>(std::min<uint64_t>(readRet.dataLength, share.size - done));
            output.writeAt(readRet.data, length, share.sourceOffset + done);
            digest.update(readRet.data, length);
            fileDigest.written(part, readRet.data, length);
            done += length;
            if (phases) phases->moved(share.archive.stream, length);
            if (abandoned) {
                archive->freeBuffer(&freeArgs, nullptr);
                return;  // another stream failed; its failure is reported
            }
        }
        archive->freeBuffer(&freeArgs, nullptr);
    }
    if (digest.hex() != share.sha256) {
        throw jobFailed(where(share) + " does not match the manifest's checksum; it is damaged");
    }
}

}  // namespace

std::string readFileShares(const std::map<unsigned long, PipelineInfo>& streams,
                           const ManifestFile& file, OutputFile& output, StreamPhases* phases) {
    Abandoned abandoned{false};
    FileDigest fileDigest(partSizes(file), [&output](void* buffer, std::size_t length,
                                                     uint64_t offset) {
        output.readAt(buffer, length, offset);
    });
    std::vector<std::exception_ptr> failures(file.shares.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < file.shares.size(); ++i) {
        const ManifestShare& share = file.shares[i];
        const auto found = streams.find(share.archive.stream);
        if (found == streams.end() || found->second.archive == nullptr) {
            abandoned = true;
            failures[i] = std::make_exception_ptr(
                jobFailed(where(share) + " was not opened by the restore request"));
            break;
        }
        ZebArchive* archive = found->second.archive;
        threads.emplace_back([&, archive, i] {
            const unsigned long stream = file.shares[i].archive.stream;
            if (phases) phases->enter(stream, Phase::Read);
            try {
                readShare(archive, file.shares[i], i, output, fileDigest, abandoned, phases);
            } catch (...) {
                failures[i] = std::current_exception();
                abandoned = true;
            }
            if (phases) phases->enter(stream, Phase::Idle);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
    const std::string digest = fileDigest.finish();
    EvEvent event;
    event.DebugLvl("readFileShares", 2,
                   "%s: file digest taken in order, %llu of %llu bytes read back from the output",
                   file.name.c_str(), static_cast<unsigned long long>(fileDigest.readBackBytes()),
                   static_cast<unsigned long long>(file.size));
    requireFileDigest(file, digest);
    return digest;
}
