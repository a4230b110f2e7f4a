// A small backup agent built on an installed pipelinesetup, the way an agent
// team takes the library: its headers, libpipelinesetup.so and one platform.
//
// Built twice from this one file:
// - with EXAMPLE_FAKE_PLATFORM against libzebplatform_fake.so: runs a backup
//   and two restore requests on the fake and checks the platform calls the
//   library made, in order;
// - otherwise against libzebplatform_local.so: backs two streams of data up
//   into a fresh store in a temporary folder, restores them and compares the
//   bytes.
// Prints one line and exits 0 when every check held, else prints what failed
// and exits 1.

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "backup/BackupPipelineSetup.h"
#include "platform/ArchiveRecords.h"
#include "platform/FsrMessages.h"
#include "platform/ZebArchive.h"
#include "restore/RestorePipelineSetup.h"

#if defined(EXAMPLE_FAKE_PLATFORM)
#include "platform/fake/FakePlatform.h"
#else
#include "platform/local/LocalPlatform.h"
#endif

namespace {

int failures = 0;

void check(bool holds, const std::string& what) {
    if (!holds) {
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
        ++failures;
    }
}

constexpr unsigned long kStreams = 2;

#if defined(EXAMPLE_FAKE_PLATFORM)

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : ", ") + line;
    return text;
}

void checkTrace(fakeplatform::FakePlatform& fake, const std::vector<std::string>& expected,
                const std::string& step) {
    const std::vector<std::string> trace = fake.trace();
    check(trace == expected,
          step + ": calls were [" + joined(trace) + "], expected [" + joined(expected) + "]");
    fake.clearJournal();
}

RestoreArchiveInfo restoreEntry(uint32_t stream) {
    RestoreArchiveInfo entry;
    entry.trellanId = 1000 + stream;
    entry.groupNumber = 2000 + stream;
    entry.afileId = 3000 + stream;
    entry.seekOffset = 4096 * stream;
    return entry;
}

int run() {
    fakeplatform::FakePlatform fake;
    fake.setProblemHandler([](const std::string& problem) { check(false, problem); });

    // Backup: one archive object, pipeline and archive file per stream, each
    // followed by the two-second pause; then each stream closed in turn, its
    // restart context reset since the agent keeps none.
    {
        BackupPipelineSetup backup(1, 2, 3, "example agent");
        check(backup.setupPipeline(0, 1, kStreams, "example set"), "backup setupPipeline");
        checkTrace(fake,
                   {"new ZebArchive#1", "setupPipeline#1", "createArchiveFile#1", "sleep 2000",
                    "new ZebArchive#2", "setupPipeline#2", "createArchiveFile#2", "sleep 2000"},
                   "backup setup");
        check(backup.closePipeline(1, false), "backup closePipeline");
        const std::vector<fakeplatform::Call> closes = fake.calls(fakeplatform::Op::CloseAfile);
        check(closes.size() == kStreams, "one closeAfile per stream");
        for (uint32_t n = 1; n <= closes.size(); ++n) {
            // The file closed is the one createArchiveFile made for the stream.
            const CloseAfileArgs_t& args = *closes[n - 1].closeAfileArgs;
            check(args.trellanId == 1000 + n && args.groupNumber == 2000 + n &&
                      args.afileId == 3000 + n,
                  "stream " + std::to_string(n) + " closes its own archive file");
        }
        checkTrace(fake,
                   {"closeAfile#1", "SetRestartContext#1", "freeBuffer#1", "closePipeline#1",
                    "delete ZebArchive#1", "closeAfile#2", "SetRestartContext#2", "freeBuffer#2",
                    "closePipeline#2", "delete ZebArchive#2"},
                   "backup close");
    }

    // Restore: the first request opens both files and seeks each stream; a
    // second request for the same files only seeks.
    RestorePipelineSetup restore(5, 6);
    restore.setRestoreArchiveFileInfoList({restoreEntry(1), restoreEntry(2)});
    check(restore.setupPipeline(), "first restore request");
    check(fake.archivesMade() == 4, "the first request makes one archive object per stream");
    std::vector<unsigned long> codes;
    for (const fakeplatform::Call& send : fake.calls(fakeplatform::Op::SendXDRMessage)) {
        codes.push_back(send.message->code);
        if (send.message->code != FSR_MSG_SEEK_TO_OFFSET) continue;
        // Session n is stream n's: its one seek element is that stream's offset.
        const std::vector<FSRSeekArchive>& seeks = send.message->seekElements;
        check(seeks.size() == 1 && seeks[0].offset == 4096ULL * send.session,
              "session " + std::to_string(send.session) + " seeks to its stream's offset");
    }
    check(codes == std::vector<unsigned long>{FSR_MSG_OPEN_ARCHIVE, FSR_MSG_OPEN_ARCHIVE,
                                              FSR_MSG_SEEK_TO_OFFSET, FSR_MSG_SEEK_TO_OFFSET},
          "first request: open both files, then seek both streams");
    check(restore.getStreamPipeinfoMap().size() == kStreams, "both streams are open");
    fake.clearJournal();

    check(restore.setupPipeline(), "repeated restore request");
    check(fake.calls(fakeplatform::Op::ArchiveMade).empty() &&
              fake.calls(fakeplatform::Op::OpenArchiveFile).empty(),
          "a repeated request for the same files opens nothing");
    check(fake.calls(fakeplatform::Op::SendXDRMessage).size() == kStreams,
          "a repeated request seeks each stream once");
    fake.clearJournal();

    // The media side answers each stream's close with the file's close and
    // then the pipeline's end.
    for (int n = 3; n <= 4; ++n) fake.queueMessages(n, {PL_FS_CLOSE_AFILE, PL_FS_DESTROY});
    check(restore.closePipeline(), "restore closePipeline");
    check(restore.shutDownPipeline(), "restore shutDownPipeline");
    check(fake.liveArchives() == 0, "every archive object is deleted at shutdown");
    codes.clear();
    for (const fakeplatform::Call& send : fake.calls(fakeplatform::Op::SendXDRMessage)) {
        codes.push_back(send.message->code);
    }
    check(codes == std::vector<unsigned long>{FSR_MSG_CLOSE_ARCHIVE, FSR_MSG_CLOSE_ARCHIVE,
                                              FSR_MSG_RESTORE_END, FSR_MSG_RESTORE_END},
          "close each stream's file, then end the restore on each session");

    if (failures == 0) {
        std::printf(
            "example agent (fake platform): backup of %lu streams and two restore "
            "requests made the expected platform calls\n",
            kStreams);
    }
    return failures == 0 ? 0 : 1;
}

#else

// Stream s's data: bytes that differ from their neighbours and between
// streams, so that a shifted or swapped chunk shows.
std::string streamData(unsigned long stream, std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 7 + i / 251 + stream * 101) % 256);
    }
    return data;
}

// Reads `size` bytes of a restore stream as the platform delivers them.
std::string readStream(ZebArchive* archive, std::size_t size) {
    std::string data;
    ReadBufArgs_t args;
    ReadBufRet_t ret{};
    FreeBufArgs_t freeArgs;
    while (data.size() < size) {
        if (archive->readBuffer(&args, &ret) == 0) break;
        if (ret.messageType == localplatform::kDataMessage) {
            data.append(ret.data, std::min<std::size_t>(ret.dataLength, size - data.size()));
        }
        archive->freeBuffer(&freeArgs, nullptr);
    }
    return data;
}

int run() {
    std::string dir = (std::filesystem::temp_directory_path() / "example-agentXXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    // The folder goes however the run ends, an exception included.
    struct RemovedAtEnd {
        const std::string& dir;
        ~RemovedAtEnd() {
            localplatform::closeStore();
            std::filesystem::remove_all(dir);
        }
    } removed{dir};
    // A store of its own, its catalog in catalog.db whatever the environment
    // names for new stores.
    ::unsetenv("PIPELINE_CATALOG");
    localplatform::Config config;
    config.storeDir = dir + "/store";
    config.logFile = dir + "/agent.log";
    config.settingsFile = dir + "/settings.ini";
    config.chunkSize = 4096;
    config.skipPauses = true;  // the two seconds per backup stream are logged only
    localplatform::openStore(config, localplatform::Access::ReadWrite, true);

    constexpr unsigned long long kJob = 42;
    constexpr std::size_t kHeader = 1000;  // skipped by the restore's seek
    constexpr std::size_t kSize = 100000;
    std::vector<RestoreArchiveInfo> list;
    {
        localplatform::setCurrentJob(kJob);
        localplatform::beginJob(kJob);
        BackupPipelineSetup backup(1, 2, 3, "example agent");
        check(backup.setupPipeline(0, 1, kStreams, "example set"), "backup setupPipeline");
        for (unsigned long s = 1; s <= kStreams; ++s) {
            std::string error;
            const std::string header(kHeader, 'h');
            const std::string data = streamData(s, kSize);
            unsigned long long offset = 1;
            check(backup.getArchiveFileOffset(s, offset) && offset == 0, "a new file starts at 0");
            check(localplatform::writeStream(kJob, s, header.data(), header.size(), &error) &&
                      localplatform::writeStream(kJob, s, data.data(), data.size(), &error),
                  "write stream " + std::to_string(s) + ": " + error);
            check(backup.getArchiveFileOffset(s, offset) && offset == kHeader + kSize,
                  "the offset counts what was written");
        }
        check(backup.closePipeline(1, false), "backup closePipeline");
        localplatform::completeJob(kJob);
        for (unsigned long s = 1; s <= kStreams; ++s) {
            localplatform::ArchiveFileRecord file;
            check(localplatform::createdArchiveFile(kJob, s, &file), "stream's archive file");
            RestoreArchiveInfo entry;
            entry.trellanId = file.trellanId;
            entry.groupNumber = file.groupNumber;
            entry.afileId = file.afileId;
            entry.seekOffset = kHeader;
            list.push_back(entry);
        }
    }

    {
        RestorePipelineSetup restore(5, 6);
        restore.setRestoreArchiveFileInfoList(list);
        check(restore.setupPipeline(), "restore setupPipeline");
        const std::map<unsigned long, PipelineInfo> streams = restore.getStreamPipeinfoMap();
        check(streams.size() == kStreams, "both streams are open");
        for (const auto& [stream, info] : streams) {
            check(readStream(info.archive, kSize) == streamData(stream, kSize),
                  "stream " + std::to_string(stream) + " restores the bytes backed up");
        }
        check(restore.closePipeline(), "restore closePipeline");
        check(restore.shutDownPipeline(), "restore shutDownPipeline");
    }

    if (failures == 0) {
        std::printf(
            "example agent (local platform): %lu streams of %zu bytes backed up, "
            "restored from offset %zu and compared\n",
            kStreams, kSize, kHeader);
    }
    return failures == 0 ? 0 : 1;
}

#endif

}  // namespace

int main() {
    try {
        return run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "FAILED: %s\n", error.what());
        return 1;
    }
}
