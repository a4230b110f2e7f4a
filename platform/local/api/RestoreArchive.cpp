// The restore side of a local archive object: closed archive files opened
// for reading, each with a session head to its media side.

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/ZebArchive.h"

#include "platform/local/Config.h"
#include "platform/local/StepHooks.h"
#include "platform/local/StoreSession.h"
#include "platform/local/api/ArchiveObject.h"

using localplatform::formatText;
using localplatform::MediaSide;
using localplatform::platformDebug;
using localplatform::platformError;
using localplatform::archive::describe;
using localplatform::archive::guarded;
using localplatform::archive::kRefused;
using localplatform::archive::refuse;

// Opens closed files only, of jobs that did not fail, whose data file is a
// regular file that still has the size the catalog records (or, for a job
// marked damaged, any size); the data file is
// opened without ever blocking. Each open makes a new media side and session
// head; the media side of an earlier open ends, but its session head stays
// valid until this object goes.
int ZebArchive::openArchiveFile(OpenArgs_t* args, OpenRet_t* ret) {
    // The stream is the archive file's, its group number.
    localplatform::crashPoint(
        {localplatform::StepKind::ArchiveFileOpened,
         args && args->groupNumber <= ULONG_MAX ? static_cast<unsigned long>(args->groupNumber) : 0,
         "openArchiveFile", 0});
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
        const auto store = localplatform::openedStore();
        const auto catalog = store->catalog();
        const auto record = catalog->findArchiveFile(id.trellanId, id.groupNumber, id.afileId);
        if (!record) return cannot("it is not in the catalog");
        if (record->state == "writing") {
            return cannot("it is incomplete: still being written, or its job did not finish");
        }
        if (record->state == "invalidated") return cannot("it was invalidated");
        const auto job = catalog->findJob(record->jobId);
        if (job && job->state == "failed") {
            return cannot(formatText("its job %llu failed", record->jobId));
        }
        std::string path, why;
        if (!store->resolve(record->path, &path, &why)) return cannot(why);
        std::unique_ptr<localplatform::StorageFile> file = store->openData(path, &why);
        if (!file) return cannot(why);
        unsigned long long size = 0;
        if (!file->size(&size)) size = 0;
        // A job marked damaged is read where its parts are whole, which
        // the agent verifies part by part before it asks.
        if (size != record->size && !(job && job->state == "damaged")) {
            return cannot(formatText("its data file %s has %llu bytes; the catalog records %llu",
                                     path.c_str(), size, record->size));
        }

        const localplatform::Config config = localplatform::configuration();
        const MediaSide::Settings settings{config.chunkSize, config.mediaChunkDelay,
                                           config.mediaTimeout};
        const auto media = std::make_shared<MediaSide>(localplatform::fileReader(std::move(file)),
                                                       id, size, settings);
        auto impl = std::make_unique<CZebNetwork::Impl>();
        impl->media = media;
        auto head = std::make_unique<CZebNetwork>(impl.get());
        impl.release();
        m_impl->sessionHeads.push_back(std::move(head));

        if (m_impl->media) m_impl->media->end("a later openArchiveFile replaced it");
        m_impl->media = media;
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
    localplatform::crashPoint("GetArchiveFileId");
    if (!id || !m_impl->fileOpen) return kRefused;
    *id = m_impl->openId;
    return 0;
}

// The media side keeps the answers to a close sent before; no PL_FS_DESTROY
// follows them. Never waits; refused at once when the media side timed out.
int ZebArchive::CloseArchiveFileAndReleaseVolume() {
    localplatform::crashPoint("CloseArchiveFileAndReleaseVolume");
    if (!m_impl->fileOpen) {
        return refuse("CloseArchiveFileAndReleaseVolume: no archive file is open");
    }
    std::string why;
    if (!m_impl->media->releaseVolume(&why)) {
        return refuse("CloseArchiveFileAndReleaseVolume refused on " + why);
    }
    m_impl->fileOpen = false;
    platformDebug("closed " + describe(m_impl->openId) + " and released its volume");
    return 0;
}

// Data stays in this object until freeBuffer or the next readBuffer. Returns
// 0 at once when nothing more can arrive, and after the media side's timeout
// when it makes no progress; from then on 0 at once. With ReadBufArgs_t's
// maxLength, at most that many bytes of data. Any thread may call it and
// freeBuffer, one at a time per archive object (a stream's reader, then the
// library's closing wait); the media side it reads is shared safely with the
// messages sent on its session head meanwhile.
int ZebArchive::readBuffer(ReadBufArgs_t* args, ReadBufRet_t* ret) {
    localplatform::crashPoint("readBuffer");
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

int ZebArchive::freeBuffer(FreeBufArgs_t*, FreeBufRet_t*) {
    localplatform::crashPoint("freeBuffer");
    localplatform::MediaSide::Bytes().swap(m_impl->buffer);
    return 0;
}
