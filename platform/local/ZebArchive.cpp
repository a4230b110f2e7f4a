// The archive library on the local store. A backup object creates and writes
// one archive file (see ArchiveWriter); a restore object opens closed archive
// files and hands out a session head to each open file's media side.

#include "platform/ZebArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/CZebNetwork.h"
#include "platform/local/ArchiveWriter.h"
#include "platform/local/Catalog.h"
#include "platform/local/LocalState.h"
#include "platform/local/MediaSide.h"

using localplatform::ArchiveWriter;
using localplatform::formatText;
using localplatform::MediaSide;
using localplatform::platformDebug;
using localplatform::platformError;

struct ZebArchive::Impl {
    enum class Side { Backup, Restore };

    explicit Impl(Side side) : side(side) {}

    const Side side;

    // Backup side.
    bool pipelineSetUp = false;
    localplatform::NewArchiveFile pipeline;  // what setupPipeline said of the files to come
    std::shared_ptr<ArchiveWriter> writer;

    // Restore side.
    std::vector<std::unique_ptr<CZebNetwork>> sessionHeads;  // every one handed out
    std::shared_ptr<MediaSide> media;                        // of the last file opened
    bool fileOpen = false;
    ArchiveFileId_t openId{};
    std::vector<char> buffer;  // the data of the last readBuffer, until freeBuffer
};

namespace {

// A call this object cannot serve.
constexpr int kRefused = 1;
// The store failed.
constexpr int kFailed = 2;

int refuse(const std::string& text) {
    platformError(text);
    return kRefused;
}

std::string describe(const ArchiveFileId_t& id) {
    return formatText("archive file (%u, %u, %u)", id.trellanId, id.groupNumber, id.afileId);
}

ArchiveFileId_t identityOf(const localplatform::ArchiveFileRecord& record) {
    return ArchiveFileId_t{record.trellanId, record.groupNumber, record.afileId};
}

// Runs an operation that uses the store, turning its failures into kFailed
// with a log line.
template <typename Operation>
int guarded(const char* name, Operation operation) {
    try {
        return operation();
    } catch (const std::exception& error) {
        platformError(std::string(name) + ": " + error.what());
        return kFailed;
    }
}

}  // namespace

ZebArchive::ZebArchive(ZebJobCtrlClient*, bool, const char*)
    : m_impl(new Impl(Impl::Side::Backup)) {}

ZebArchive::ZebArchive(long long, ZebJobCtrlClient*, bool, const char*)
    : m_impl(new Impl(Impl::Side::Restore)) {}

// Never touches the catalog: a file still being written stays "writing",
// which is how the catalog shows a job that did not finish.
ZebArchive::~ZebArchive() {
    if (const auto& writer = m_impl->writer) {
        localplatform::unregisterStream(writer->record().jobId, writer->record().stream,
                                        writer.get());
        writer->release();
    }
    if (m_impl->media) m_impl->media->end("its archive object was destroyed");
    m_impl->sessionHeads.clear();
    delete m_impl;
}

int ZebArchive::setupPipeline(SetupPipelineArgs_t* args, const char*, SetupPipelineRet_t*) {
    if (m_impl->side != Impl::Side::Backup) {
        return refuse("setupPipeline: this is a restore archive object");
    }
    if (!args) return refuse("setupPipeline: no pipeline record");
    if (args->recordKind != 1 || args->pipelineKind != 4) {
        return refuse(formatText("setupPipeline: a record of kind %u for pipeline kind %lu; this "
                                 "platform sets up record kind 1, pipeline kind 4 only",
                                 args->recordKind, args->pipelineKind));
    }
    m_impl->pipeline.typeCode = args->typeCode;
    m_impl->pipeline.dataType = args->dataType;
    m_impl->pipeline.setupText = args->setupText;
    m_impl->pipelineSetUp = true;
    return 0;
}

// The new file's stream is 1 + the files this process has created for the
// configured job; its identity is the store's Trellan id, the stream as group
// number, and the catalog's new archive file id. writeStream reaches it by
// (job, stream) from then on.
int ZebArchive::createArchiveFile(CreateArgs_t* args, CreateRet_t* ret) {
    if (m_impl->side != Impl::Side::Backup) {
        return refuse("createArchiveFile: this is a restore archive object");
    }
    if (!args || !ret) return refuse("createArchiveFile: no argument or result record");
    if (!m_impl->pipelineSetUp) return refuse("createArchiveFile: no pipeline is set up");
    if (m_impl->writer) {
        return refuse("createArchiveFile: this archive object already created " +
                      describe(identityOf(m_impl->writer->record())));
    }
    return guarded("createArchiveFile", [&] {
        localplatform::NewArchiveFile file = m_impl->pipeline;
        file.jobId = localplatform::configuration().jobId;
        file.typeCode = args->typeCode;
        file.dataType = args->dataType;
        file.createText = args->createText;
        file.stream = localplatform::takeStreamNumber(file.jobId);
        try {
            m_impl->writer = ArchiveWriter::create(localplatform::storeDirectory(), file);
        } catch (...) {
            localplatform::returnStreamNumber(file.jobId, file.stream);
            throw;
        }
        const auto& record = m_impl->writer->record();
        localplatform::registerStream(record.jobId, record.stream, m_impl->writer);
        std::memset(ret, 0, sizeof *ret);
        ret->trellanId = record.trellanId;
        ret->groupNumber = record.groupNumber;
        ret->afileId = record.afileId;
        platformDebug(formatText("created %s for job %llu stream %lu at %s",
                                 describe(identityOf(record)).c_str(), record.jobId,
                                 record.stream, record.path.c_str()));
        return 0;
    });
}

int ZebArchive::GetCurrentArchiveFileOffset(unsigned long long* offset) {
    if (!offset) return refuse("GetCurrentArchiveFileOffset: no result");
    if (!m_impl->writer) {
        return refuse("GetCurrentArchiveFileOffset: this archive object has no archive file");
    }
    *offset = m_impl->writer->written();
    return 0;
}

// Closes this object's file only. The data is durable before the catalog
// says "closed"; a file invalidated meanwhile stays invalidated.
int ZebArchive::closeAfile(CloseAfileArgs_t* args, CloseAfileRet_t*) {
    if (!args) return refuse("closeAfile: no argument record");
    if (!m_impl->writer) return refuse("closeAfile: this archive object has no archive file");
    const ArchiveFileId_t own = identityOf(m_impl->writer->record());
    const ArchiveFileId_t named{args->trellanId, args->groupNumber, args->afileId};
    if (named.trellanId != own.trellanId || named.groupNumber != own.groupNumber ||
        named.afileId != own.afileId) {
        return refuse("closeAfile: " + describe(named) + " is not this object's " + describe(own));
    }
    return guarded("closeAfile", [&] {
        std::string error;
        if (!m_impl->writer->close(&error)) {
            platformError("closeAfile: cannot close " + describe(own) + ": " + error);
            return kFailed;
        }
        platformDebug(formatText("closed %s with %llu bytes", describe(own).c_str(),
                                 m_impl->writer->written()));
        return 0;
    });
}

// A local archive file is always written from its start: there is no
// restart point to keep or reset.
int ZebArchive::SetRestartContext(unsigned int) { return 0; }

int ZebArchive::freeBuffer(FreeBufArgs_t*, FreeBufRet_t*) {
    std::vector<char>().swap(m_impl->buffer);
    return 0;
}

// A local pipeline is only this object's state, which goes with the object:
// there is nothing further to end.
int ZebArchive::closePipeline(ClosePipelineArgs_t* args, ClosePipelineRet_t*) {
    return args ? 0 : refuse("closePipeline: no argument record");
}

// Opens closed files only, whose data file still has the size the catalog
// records. Each open makes a new media side and session head; the media side
// of an earlier open ends, but its session head stays valid until this
// object goes.
int ZebArchive::openArchiveFile(OpenArgs_t* args, OpenRet_t* ret) {
    if (m_impl->side != Impl::Side::Restore) {
        return refuse("openArchiveFile: this is a backup archive object");
    }
    if (!args || !ret) return refuse("openArchiveFile: no argument or result record");
    const std::string name = formatText("archive file (%u, %lu, %lu)", args->trellanId,
                                        args->groupNumber, args->afileId);
    const auto cannot = [&name](const std::string& why) {
        return refuse("openArchiveFile: cannot open " + name + ": " + why);
    };
    if (args->groupNumber > UINT32_MAX || args->afileId > UINT32_MAX) {
        return cannot("it is not in the catalog");
    }
    const ArchiveFileId_t id{args->trellanId, static_cast<uint32_t>(args->groupNumber),
                             static_cast<uint32_t>(args->afileId)};
    return guarded("openArchiveFile", [&] {
        const auto record = localplatform::Catalog(localplatform::storeDirectory())
                                .find(id.trellanId, id.groupNumber, id.afileId);
        if (!record) return cannot("it is not in the catalog");
        if (record->state == "writing") {
            return cannot("it is incomplete: still being written, or its job did not finish");
        }
        if (record->state == "invalidated") return cannot("it was invalidated");
        const int fd = ::open(record->path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return cannot(errno == ENOENT ? "its data file " + record->path + " is missing"
                                          : "cannot open its data file " + record->path + ": " +
                                                std::strerror(errno));
        }
        struct stat status {};
        const unsigned long long size =
            ::fstat(fd, &status) == 0 ? static_cast<unsigned long long>(status.st_size) : 0;
        if (size != record->size) {
            ::close(fd);
            return cannot(formatText("its data file %s has %llu bytes; the catalog records %llu",
                                     record->path.c_str(), size, record->size));
        }

        const localplatform::Config config = localplatform::configuration();
        const MediaSide::Settings settings{config.chunkSize, config.mediaChunkDelay,
                                           config.mediaTimeout};
        std::shared_ptr<MediaSide> media;
        try {
            media = std::make_shared<MediaSide>(fd, id, size, settings);
        } catch (...) {
            ::close(fd);
            throw;
        }
        auto impl = std::make_unique<CZebNetwork::Impl>();
        impl->media = media;
        auto head = std::make_unique<CZebNetwork>(impl.get());
        impl.release();
        m_impl->sessionHeads.push_back(std::move(head));

        if (m_impl->media) m_impl->media->end("a later openArchiveFile replaced it");
        m_impl->media = std::move(media);
        m_impl->fileOpen = true;
        m_impl->openId = id;
        ret->sessionHead = m_impl->sessionHeads.back().get();
        ret->copy = 1;
        platformDebug("opened " + name + " for restore");
        return 0;
    });
}

// Nonzero, leaving *id alone, while no file is open: none yet, or its volume
// was released.
int ZebArchive::GetArchiveFileId(ArchiveFileId_t* id) {
    if (!id || !m_impl->fileOpen) return kRefused;
    *id = m_impl->openId;
    return 0;
}

// The media side keeps the answers to a close sent before; no PL_FS_DESTROY
// follows them.
int ZebArchive::CloseArchiveFileAndReleaseVolume() {
    if (!m_impl->fileOpen) {
        return refuse("CloseArchiveFileAndReleaseVolume: no archive file is open");
    }
    m_impl->media->releaseVolume();
    m_impl->fileOpen = false;
    platformDebug("closed " + describe(m_impl->openId) + " and released its volume");
    return 0;
}

// Data stays in this object until freeBuffer or the next readBuffer. Returns
// 0 at once when nothing more can arrive, and after the media side's timeout
// when it makes no progress.
int ZebArchive::readBuffer(ReadBufArgs_t* args, ReadBufRet_t* ret) {
    if (!ret) {
        platformError("readBuffer: no result record");
        return 0;
    }
    if (!m_impl->media) return 0;
    try {
        MediaSide::Message message;
        if (!m_impl->media->next(args ? args->maxLength : 0, &message)) return 0;
        m_impl->buffer = std::move(message.data);
        ret->messageType = message.type;
        ret->data = m_impl->buffer.empty() ? nullptr : m_impl->buffer.data();
        ret->dataLength = m_impl->buffer.size();
        return 1;
    } catch (const std::exception& error) {
        platformError(std::string("readBuffer: ") + error.what());
        return 0;
    }
}
