// The backup side of a local archive object: a pipeline and one new archive
// file, written through ArchiveWriter.

#include <cstring>

#include "platform/ZebArchive.h"

#include "platform/local/Config.h"
#include "platform/local/Interruption.h"
#include "platform/local/StepHooks.h"
#include "platform/local/api/ArchiveObject.h"

using localplatform::ArchiveWriter;
using localplatform::formatText;
using localplatform::platformDebug;
using localplatform::platformError;
using localplatform::archive::describe;
using localplatform::archive::guarded;
using localplatform::archive::identityOf;
using localplatform::archive::kFailed;
using localplatform::archive::refuse;

int ZebArchive::setupPipeline(SetupPipelineArgs_t* args, const char*, SetupPipelineRet_t*) {
    localplatform::crashPoint("setupPipeline");
    if (m_impl->side != Impl::Side::Backup) {
        return refuse("setupPipeline: this is a restore archive object");
    }
    if (!args) return refuse("setupPipeline: no pipeline record");
    if (args->recordKind != 1 || args->pipelineKind != 4) {
        return refuse(
            formatText("setupPipeline: a record of kind %u for pipeline kind %lu; this "
                       "platform sets up record kind 1, pipeline kind 4 only",
                       args->recordKind, args->pipelineKind));
    }
    m_impl->pipeline.typeCode = args->typeCode;
    m_impl->pipeline.dataType = args->dataType;
    m_impl->pipeline.setupText = args->setupText;
    m_impl->pipelineSetUp = true;
    return 0;
}

// The new file belongs to the current job, which this process begins here
// unless it began it before; a job the store knows otherwise is refused. Its
// stream is 1 + the files this process has created for the job; its identity
// is the store's Trellan id, the stream as group number, and a new archive
// file id. writeStream reaches it by (job, stream) from then on, and
// createdArchiveFile answers its identity.
int ZebArchive::createArchiveFile(CreateArgs_t* args, CreateRet_t* ret) {
    localplatform::crashPoint("createArchiveFile");
    if (m_impl->side != Impl::Side::Backup) {
        return refuse("createArchiveFile: this is a restore archive object");
    }
    if (!args || !ret) return refuse("createArchiveFile: no argument or result record");
    if (!m_impl->pipelineSetUp) return refuse("createArchiveFile: no pipeline is set up");
    if (localplatform::interrupted()) {
        return refuse("createArchiveFile: the job is being stopped; no archive file is created");
    }
    if (m_impl->writer) {
        return refuse("createArchiveFile: this archive object already created " +
                      describe(identityOf(m_impl->writer->record())));
    }
    return guarded("createArchiveFile", [&] {
        const auto context = localplatform::context();
        if (!context->store) return refuse("createArchiveFile: no store is open");
        const auto& store = context->store;
        localplatform::NewArchiveFile file = m_impl->pipeline;
        file.jobId = context->currentJob;
        file.typeCode = args->typeCode;
        file.dataType = args->dataType;
        file.createText = args->createText;
        try {
            store->joinJob(file.jobId);
        } catch (const localplatform::StoreError& error) {
            return refuse(formatText("createArchiveFile: cannot begin job %llu: %s", file.jobId,
                                     error.what()));
        }
        file.stream = store->numbering().take(file.jobId);
        try {
            m_impl->writer = ArchiveWriter::create(store, file);
        } catch (...) {
            store->numbering().giveBack(file.jobId, file.stream);
            throw;
        }
        m_impl->store = store;
        store->writers().add(m_impl->writer);
        const auto& record = m_impl->writer->record();
        std::memset(ret, 0, sizeof *ret);
        ret->trellanId = record.trellanId;
        ret->groupNumber = record.groupNumber;
        ret->afileId = record.afileId;
        platformDebug(formatText("created %s for job %llu stream %lu at %s",
                                 describe(identityOf(record)).c_str(), record.jobId, record.stream,
                                 record.path.c_str()));
        return 0;
    });
}

int ZebArchive::GetCurrentArchiveFileOffset(unsigned long long* offset) {
    localplatform::crashPoint("GetCurrentArchiveFileOffset");
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
    localplatform::crashPoint({localplatform::StepKind::ArchiveFileClosed,
                               m_impl->writer ? m_impl->writer->record().stream : 0, "closeAfile",
                               0});
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
int ZebArchive::SetRestartContext(unsigned int) {
    localplatform::crashPoint("SetRestartContext");
    return 0;
}

// A local pipeline is only this object's state, which goes with the object:
// there is nothing further to end.
int ZebArchive::closePipeline(ClosePipelineArgs_t* args, ClosePipelineRet_t*) {
    localplatform::crashPoint("closePipeline");
    return args ? 0 : refuse("closePipeline: no argument record");
}
