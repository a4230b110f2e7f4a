#pragma once

// BackupPipelineSetup and RestorePipelineSetup on the local platform, as an
// agent drives them: a fresh store per test, data written and read on one
// thread per stream while every library call stays on the test's thread.
// What reached the media side is read from the platform's own log lines
// ("accepted ..."), never from what the library says it sent.

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "backup/BackupPipelineSetup.h"
#include "platform/ArchiveRecords.h"
#include "platform/ZebArchive.h"
#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreSession.h"
#include "restore/RestorePipelineSetup.h"

// One stream's share of a backed-up file.
struct Share {
    unsigned long stream = 0;
    unsigned long long offset = 0;  // in the stream's archive file
    unsigned long long begin = 0;   // in the file
    unsigned long long size = 0;
};

struct BackedUpFile {
    std::string data;
    std::vector<Share> shares;  // stream 1, 2, ...
};

struct BackupSet {
    unsigned long long jobId = 0;
    std::vector<localplatform::ArchiveFileRecord> archives;  // stream 1, 2, ...
    std::vector<BackedUpFile> files;
};

// A message the media side accepted, from its log line.
struct Accepted {
    unsigned long stream;
    std::string message;  // "FSR_MSG_SEEK_TO_OFFSET", ...
    bool operator==(const Accepted&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Accepted& accepted) {
    return out << "{" << accepted.stream << ", " << accepted.message << "}";
}

class LibraryOnLocalPlatform : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(INTEGRATION_TEST_TMP);
        std::string dir = std::string(INTEGRATION_TEST_TMP) + "/integrationXXXXXX";
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        m_dir = dir;
        config.storeDir = m_dir + "/store";
        config.logFile = m_dir + "/log.txt";
        config.settingsFile = m_dir + "/settings.ini";
        config.jobId = nextJob();
        config.chunkSize = 1000;
        config.mediaTimeout = std::chrono::seconds(10);
        config.skipPauses = true;
        localplatform::openStore(config, localplatform::Access::ReadWrite, true);
    }

    void TearDown() override {
        localplatform::closeStore();
        std::filesystem::remove_all(m_dir);
    }

    // Job ids are new for the whole process: stream numbers count per job.
    static unsigned long long nextJob() {
        static unsigned long long jobs = 5000;
        return ++jobs;
    }

    // n bytes, shifted by seed, that differ from their neighbours, so that a
    // shifted, repeated or foreign chunk shows.
    static std::string bytes(std::size_t n, unsigned seed) {
        std::string data(n, '\0');
        for (std::size_t i = 0; i < n; ++i) {
            data[i] = static_cast<char>((i * 7 + i / 251 + seed * 101) % 256);
        }
        return data;
    }

    // Backs the files up in one job over `streams` streams: each stream's
    // archive file holds, for each file in turn, that stream's share of it,
    // at the offset getArchiveFileOffset gives. Each share is written on its
    // stream's own thread.
    BackupSet backup(const std::vector<std::string>& files, unsigned long streams) {
        BackupSet set;
        set.jobId = nextJob();
        localplatform::setCurrentJob(set.jobId);
        localplatform::beginJob(set.jobId);
        BackupPipelineSetup job(1, 2, 3, "integration");
        EXPECT_TRUE(job.setupPipeline(0, 1, streams, "set"));
        std::vector<unsigned long long> written(streams, 0);
        for (const std::string& data : files) {
            BackedUpFile file{data, {}};
            for (unsigned long s = 1; s <= streams; ++s) {
                Share share{s, 0, data.size() * (s - 1) / streams, 0};
                share.size = data.size() * s / streams - share.begin;
                EXPECT_TRUE(job.getArchiveFileOffset(s, share.offset));
                EXPECT_EQ(share.offset, written[s - 1]) << "stream " << s;
                file.shares.push_back(share);
            }
            std::vector<std::thread> writers;
            std::vector<std::string> errors(streams);
            for (const Share& share : file.shares) {
                writers.emplace_back([&, share] {
                    if (!localplatform::writeStream(set.jobId, share.stream,
                                                    data.data() + share.begin, share.size,
                                                    &errors[share.stream - 1])) {
                        errors[share.stream - 1] += " (writeStream failed)";
                    }
                });
            }
            for (std::thread& writer : writers) writer.join();
            for (const std::string& error : errors) EXPECT_EQ(error, "");
            for (const Share& share : file.shares) written[share.stream - 1] += share.size;
            set.files.push_back(std::move(file));
        }
        EXPECT_TRUE(job.closePipeline(1, false));
        localplatform::completeJob(set.jobId);
        for (unsigned long s = 1; s <= streams; ++s) {
            localplatform::ArchiveFileRecord created, record;
            EXPECT_TRUE(localplatform::createdArchiveFile(set.jobId, s, &created));
            EXPECT_TRUE(localplatform::findArchiveFile(created.trellanId, created.groupNumber,
                                                       created.afileId, &record));
            EXPECT_EQ(record.size, written[s - 1]);
            set.archives.push_back(record);
        }
        return set;
    }

    // The request list that restores file `file` of the set.
    static std::vector<RestoreArchiveInfo> requestFor(const BackupSet& set, std::size_t file,
                                                      bool readAll) {
        std::vector<RestoreArchiveInfo> list;
        for (const Share& share : set.files[file].shares) {
            const localplatform::ArchiveFileRecord& archive = set.archives[share.stream - 1];
            RestoreArchiveInfo entry;
            entry.trellanId = archive.trellanId;
            entry.groupNumber = archive.groupNumber;
            entry.afileId = archive.afileId;
            entry.seekOffset = share.offset;
            entry.readAll = readAll;
            list.push_back(entry);
        }
        return list;
    }

    // Reads `size` bytes of data from the archive object, at most maxLength
    // at a time (0: as the platform chunks them). False when readBuffer
    // failed first; *data holds what came.
    static bool readData(ZebArchive* archive, unsigned long long size, std::string* data,
                         uint64_t maxLength = 0) {
        ReadBufArgs_t args;
        args.maxLength = maxLength;
        ReadBufRet_t ret{};
        FreeBufArgs_t freeArgs;
        while (data->size() < size) {
            if (archive->readBuffer(&args, &ret) == 0) return false;
            if (ret.messageType == localplatform::kDataMessage) {
                if (maxLength != 0 && ret.dataLength > maxLength) {
                    ADD_FAILURE() << ret.dataLength << " bytes for a maxLength of " << maxLength;
                }
                data->append(ret.data, std::min<uint64_t>(ret.dataLength, size - data->size()));
            }
            archive->freeBuffer(&freeArgs, nullptr);
        }
        return true;
    }

    // Reads file `file` of the set from the restore's open streams, one
    // thread per stream, and returns it as put together from its shares.
    static std::string readFile(RestorePipelineSetup& restore, const BackedUpFile& file,
                                uint64_t maxLength = 0) {
        const std::map<unsigned long, PipelineInfo> streams = restore.getStreamPipeinfoMap();
        EXPECT_EQ(streams.size(), file.shares.size());
        std::vector<std::string> parts(file.shares.size());
        std::vector<std::thread> readers;
        for (const Share& share : file.shares) {
            const auto found = streams.find(share.stream);
            if (found == streams.end()) continue;
            ZebArchive* archive = found->second.archive;
            readers.emplace_back([archive, share, maxLength, &parts] {
                EXPECT_TRUE(readData(archive, share.size, &parts[share.stream - 1], maxLength))
                    << "stream " << share.stream;
            });
        }
        for (std::thread& reader : readers) reader.join();
        std::string whole;
        for (const std::string& part : parts) whole += part;
        return whole;
    }

    std::string log() const {
        std::ifstream file(config.logFile);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    // The log written since mark (a size of log()).
    std::string logSince(std::size_t mark) const { return log().substr(mark); }

    // The messages the media side accepted, in the order of its log lines.
    static std::vector<Accepted> accepted(const std::string& text) {
        static const std::regex line(
            R"(local platform: stream (\d+), archive file \(\d+, \d+, \d+\): accepted (\w+))");
        std::vector<Accepted> found;
        for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
            found.push_back(Accepted{std::stoul((*it)[1]), (*it)[2]});
        }
        return found;
    }

    // "stream N, archive file (T, G, A)", as the platform's lines name a
    // stream of the set.
    static std::string streamName(const BackupSet& set, unsigned long stream) {
        const localplatform::ArchiveFileRecord& archive = set.archives[stream - 1];
        return "stream " + std::to_string(stream) + ", archive file (" +
               std::to_string(archive.trellanId) + ", " + std::to_string(archive.groupNumber) +
               ", " + std::to_string(archive.afileId) + ")";
    }

    static std::size_t count(const std::string& text, const std::string& part) {
        std::size_t n = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++n;
        }
        return n;
    }

    // The archive data files of the store this process holds open, waiting
    // (bounded) for workers that were abandoned to let go of theirs.
    std::vector<std::string> openArchiveData() const {
        const std::string files = std::filesystem::canonical(m_dir).string() + "/store/files/";
        std::vector<std::string> open;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        do {
            open.clear();
            for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
                std::error_code error;
                const auto target = std::filesystem::read_symlink(entry.path(), error);
                if (!error && target.string().find(files) == 0 &&
                    target.extension() == ".arch") {
                    open.push_back(target.string());
                }
            }
            if (open.empty()) break;
            std::this_thread::yield();
        } while (std::chrono::steady_clock::now() < deadline);
        return open;
    }

    const std::string& dir() const { return m_dir; }

    localplatform::Config config;

private:
    std::string m_dir;
};
