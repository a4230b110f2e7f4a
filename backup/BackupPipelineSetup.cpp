#include "backup/BackupPipelineSetup.h"

#include <climits>
#include <memory>
#include <utility>

#include "platform/ArMgrClientAPI.h"
#include "platform/EvEvent.h"
#include "platform/QiSleep.h"
#include "platform/ZebArchive.h"

namespace {

// Stream numbers travel as a signed 32-bit value.
constexpr unsigned long kMaxStreamCount = INT_MAX;

// Every backup stream pauses this long after its archive file is created.
constexpr unsigned long kStreamPauseMs = 2000;

constexpr unsigned int kResetRestartContext = 0xFFFFFFFF;

}  // namespace

BackupPipelineSetup::BackupPipelineSetup()
    : BackupPipelineSetup(0, 0, 0, std::string()) {}

BackupPipelineSetup::BackupPipelineSetup(unsigned long long setupValue1,
                                         unsigned long setupValue2,
                                         unsigned long setupValue3, std::string setupText)
    : m_setupValue1(setupValue1),
      m_setupValue2(setupValue2),
      m_setupValue3(setupValue3),
      m_setupText(std::move(setupText)),
      m_streamCount(0) {}

BackupPipelineSetup::~BackupPipelineSetup() { releaseHeldStreams(); }

void BackupPipelineSetup::setUseIndexing(bool useIndexing) {
    m_setupArgs.useIndexing = useIndexing ? 1 : 0;
}

void BackupPipelineSetup::setDataType(unsigned long typeDetail, unsigned long typeCode) {
    switch (typeCode) {
        case 1:
        case 4:
            m_setupArgs.dataType = 1;
            break;
        case 2:
            m_setupArgs.dataType = typeDetail == 81 ? 4 : 1;
            break;
        default:
            break;
    }
}

bool BackupPipelineSetup::setupPipeline(unsigned long typeDetail, unsigned long typeCode,
                                        unsigned long streamCount, std::string createText) {
    EvEvent event;
    if (streamCount > kMaxStreamCount) {
        event.error("BackupPipelineSetup(196): -Error-: Stream count [%lu] exceeds the largest "
                    "stream number [%lu].",
                    streamCount, kMaxStreamCount);
        return false;
    }
    m_streamCount = streamCount;
    m_createText = std::move(createText);

    m_setupArgs.recordKind = 1;
    m_setupArgs.typeCode = typeCode;
    m_setupArgs.setupValue2 = m_setupValue2;
    m_setupArgs.reserved24 = 0;
    m_setupArgs.setupValue3 = static_cast<uint32_t>(m_setupValue3);
    m_setupArgs.setupValue1 = m_setupValue1;
    m_setupArgs.reserved104 = 0;
    // Copied as a C string: the record carries the text up to its first NUL.
    m_setupArgs.setupText = m_setupText.c_str();
    m_setupArgs.typeDetail = typeDetail;
    m_setupArgs.pipelineKind = 4;
    setDataType(typeDetail, typeCode);

    for (unsigned long long i = 0; i < m_streamCount; ++i) {
        if (!AddStreamToPipeline(static_cast<int>(i + 1), m_createText)) return false;
    }
    return true;
}

bool BackupPipelineSetup::AddStreamToPipeline(int stream, std::string createText) {
    EvEvent event;
    const auto key = static_cast<unsigned long long>(static_cast<long long>(stream));
    // A second archive file for a held stream could never be recorded or closed.
    if (m_archiveMap.count(key) != 0) {
        event.error("BackupPipelineSetup(205): -Error-: Stream [%ld] is already set up.",
                    static_cast<long>(stream));
        return false;
    }

    std::unique_ptr<ZebArchive> archive(new ZebArchive(nullptr, true, nullptr));
    if (archive->setupPipeline(&m_setupArgs, "", nullptr) != 0) {
        event.error("BackupPipelineSetup(215): -Error-: Failed to setup pipeline for stream [%ld].",
                    static_cast<long>(stream));
        return false;
    }

    CreateArgs_t createArgs;
    createArgs.createText = std::move(createText);
    createArgs.typeCode = m_setupArgs.typeCode;
    createArgs.dataType = m_setupArgs.dataType;
    CreateRet_t createRet;
    if (archive->create(&createArgs, &createRet) != 0) {
        event.error("BackupPipelineSetup(228): -Error-: Failed to create ArchiveFile for stream "
                    "[%ld].",
                    static_cast<long>(stream));
        return false;
    }

    QISLEEP_InTeRnAl(kStreamPauseMs, "BackupPipelineSetup", 232);

    // The stream ends up in both maps or, should the second entry's
    // allocation fail, in neither: the first entry is then taken out again.
    // The maps hold the same streams, so the key is new to both.
    struct Undo {
        std::map<unsigned long long, CreateRet_t>& map;
        std::map<unsigned long long, CreateRet_t>::iterator entry;
        bool kept;
        ~Undo() {
            if (!kept) map.erase(entry);
        }
    } undo{m_createRetMap, m_createRetMap.emplace(key, createRet).first, false};
    m_archiveMap.emplace(key, archive.get());
    undo.kept = true;
    archive.release();
    return true;
}

bool BackupPipelineSetup::getArchiveFileOffset(unsigned long stream, unsigned long long& offset) {
    const auto it = m_archiveMap.find(stream);
    if (it == m_archiveMap.end()) return false;
    return it->second->GetCurrentArchiveFileOffset(&offset) == 0;
}

bool BackupPipelineSetup::closePipeline(unsigned long closeMode, bool keepRestartContext) {
    EvEvent event;
    bool result = true;
    // Both maps hold the same streams in the same order, so their first
    // entries always belong together. A stream leaves the maps as soon as its
    // close has deleted its archive object.
    while (!m_archiveMap.empty()) {
        const auto archiveIt = m_archiveMap.begin();
        const auto retIt = m_createRetMap.begin();
        result = close(archiveIt->first, retIt->second, archiveIt->second, closeMode,
                       keepRestartContext);
        if (!result) break;
        m_archiveMap.erase(archiveIt);
        m_createRetMap.erase(retIt);
    }
    // The failed stream and those after it leave our care here.
    releaseHeldStreams();
    return result;
}

bool BackupPipelineSetup::closePipeline(unsigned long stream, unsigned long closeMode,
                                        bool keepRestartContext) {
    EvEvent event;
    const auto archiveIt = m_archiveMap.find(stream);
    if (archiveIt == m_archiveMap.end()) return true;
    const auto retIt = m_createRetMap.find(stream);
    if (!close(stream, retIt->second, archiveIt->second, closeMode, keepRestartContext)) {
        return false;
    }
    m_archiveMap.erase(archiveIt);
    m_createRetMap.erase(retIt);
    return true;
}

bool BackupPipelineSetup::close(unsigned long stream, CreateRet_t createRet, ZebArchive* archive,
                                unsigned long closeMode, bool keepRestartContext) {
    EvEvent event;
    if (closeMode != 0) {
        CloseAfileArgs_t closeArgs;
        closeArgs.trellanId = createRet.trellanId;
        closeArgs.groupNumber = createRet.groupNumber;
        closeArgs.afileId = createRet.afileId;
        closeArgs.reserved16 = 0;
        closeArgs.reserved24 = 0;
        closeArgs.reserved28 = 0;
        if (archive->closeAfile(&closeArgs, nullptr) != 0) {
            event.Debug("close",
                        "Failed to close pipeline for stream[%ld], AFileId[%ld], "
                        "AFileGroupNumber[%ld]",
                        static_cast<long>(stream), static_cast<long>(createRet.afileId),
                        static_cast<long>(createRet.groupNumber));
            return false;
        }
        if (!keepRestartContext) archive->SetRestartContext(kResetRestartContext);
    } else {
        invalidateArchiveFile(event, createRet);
    }

    ClosePipelineArgs_t closePipelineArgs;
    closePipelineArgs.closeKind = 1;
    closePipelineArgs.closeMode = closeMode;
    archive->freeBuffer(nullptr, nullptr);
    archive->closePipeline(&closePipelineArgs, nullptr);
    delete archive;
    return true;
}

void BackupPipelineSetup::invalidateArchiveFile(EvEvent& event, const CreateRet_t& createRet) {
    ArMgrClientAPI client;
    InvalidateArchFilesByJobArgs_t args;
    InvalidateArchFilesByJobRet_t ret;
    args.trellanId = createRet.trellanId;
    args.jobId = event.getJobId();
    args.afileIds.push_back(createRet.afileId);
    if (client.invalidateArchFilesByJob(&args, &ret) != 0) {
        event.DebugLvl("close", 0, "Failed to invalide archive file(%d, %d, %d)",
                       static_cast<int>(createRet.trellanId),
                       static_cast<int>(createRet.groupNumber),
                       static_cast<int>(createRet.afileId));
    }
}

void BackupPipelineSetup::releaseHeldStreams() {
    for (const auto& [stream, archive] : m_archiveMap) delete archive;
    m_archiveMap.clear();
    m_createRetMap.clear();
}
