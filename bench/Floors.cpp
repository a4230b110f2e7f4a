#include "bench/Floors.h"

#include <climits>
#include <utility>

#include "platform/ArchiveRecords.h"
#include "platform/CZebNetwork.h"
#include "platform/EvEvent.h"
#include "platform/FsrMessages.h"
#include "platform/QiSleep.h"
#include "platform/ZebArchive.h"
#include "platform/ZebPlatformInfo.h"
#include "platform/zebsDatabuf_v2.h"

bool floorBackupJob(const BackupJobInput& job) {
    if (job.streams > INT_MAX) return false;
    SetupPipelineArgs_t setup;
    setup.recordKind = 1;
    setup.typeCode = job.typeCode;
    setup.setupValue2 = job.setupValue2;
    setup.reserved24 = 0;
    setup.setupValue3 = static_cast<uint32_t>(job.setupValue3);
    setup.setupValue1 = job.setupValue1;
    setup.reserved104 = 0;
    setup.setupText = job.setupText.c_str();
    setup.typeDetail = job.typeDetail;
    setup.pipelineKind = 4;
    if (job.typeCode == 1 || job.typeCode == 4) setup.dataType = 1;
    if (job.typeCode == 2) setup.dataType = job.typeDetail == 81 ? 4 : 1;

    std::map<unsigned long long, CreateRet_t> created;
    std::map<unsigned long long, ZebArchive*> archives;
    bool result = true;
    {
        EvEvent setupEvent;
        for (unsigned long long stream = 1; stream <= job.streams && result; ++stream) {
            EvEvent streamEvent;
            if (archives.count(stream) != 0) {
                result = false;
                break;
            }
            auto* archive = new ZebArchive(nullptr, true, nullptr);
            if (archive->setupPipeline(&setup, "", nullptr) != 0) {
                delete archive;
                result = false;
                break;
            }
            CreateArgs_t createArgs;
            createArgs.createText = job.createText;
            createArgs.typeCode = setup.typeCode;
            createArgs.dataType = setup.dataType;
            CreateRet_t createRet;
            if (archive->create(&createArgs, &createRet) != 0) {
                delete archive;
                result = false;
                break;
            }
            QISLEEP_InTeRnAl(2000, "BackupPipelineSetup", 232);
            created.emplace(stream, createRet);
            archives.emplace(stream, archive);
        }
    }
    {
        EvEvent closeEvent;
        while (!archives.empty()) {
            const auto archiveIt = archives.begin();
            const auto createdIt = created.begin();
            ZebArchive* archive = archiveIt->second;
            const CreateRet_t& createRet = createdIt->second;
            EvEvent streamEvent;
            CloseAfileArgs_t closeArgs;
            closeArgs.trellanId = createRet.trellanId;
            closeArgs.groupNumber = createRet.groupNumber;
            closeArgs.afileId = createRet.afileId;
            closeArgs.reserved16 = 0;
            closeArgs.reserved24 = 0;
            closeArgs.reserved28 = 0;
            if (archive->closeAfile(&closeArgs, nullptr) != 0) {
                result = false;
                break;
            }
            if (!job.keepRestartContext) archive->SetRestartContext(0xFFFFFFFF);
            ClosePipelineArgs_t closePipelineArgs;
            closePipelineArgs.closeKind = 1;
            closePipelineArgs.closeMode = job.closeMode;
            archive->freeBuffer(nullptr, nullptr);
            archive->closePipeline(&closePipelineArgs, nullptr);
            delete archive;
            archives.erase(archiveIt);
            created.erase(createdIt);
        }
    }
    for (const auto& [stream, archive] : archives) delete archive;
    return result;
}

RestoreFloor::RestoreFloor(unsigned long long openArgsValue, unsigned long openMessageValue)
    : m_openArgsValue(openArgsValue), m_openMessageValue(openMessageValue) {}

RestoreFloor::~RestoreFloor() {
    for (PipelineInfo& slot : m_slots) delete slot.archive;
}

void RestoreFloor::setList(std::vector<RestoreArchiveInfo> list) { m_list = std::move(list); }

bool RestoreFloor::request() {
    const std::vector<RestoreArchiveInfo>& list = m_list;
    EvEvent requestEvent;
    if (list.size() > kSlots) return false;
    if (!m_streams.empty()) {
        bool same = true;
        {
            EvEvent checkEvent;
            if (m_streams.size() != list.size()) {
                checkEvent.debug(
                    "RestorePipelineSetup(317): -Debug-: Size of stream pipe info "
                    "map [%d], archive file info [%d]. Need to close archive files.",
                    static_cast<int>(m_streams.size()), static_cast<int>(list.size()));
                same = false;
            }
            for (std::size_t i = 0; same && i < list.size(); ++i) {
                ArchiveFileId_t open{};
                m_slots[i].archive->GetArchiveFileId(&open);
                if (open.trellanId != list[i].trellanId || open.afileId != list[i].afileId) {
                    checkEvent.debug(
                        "RestorePipelineSetup(342): -Debug-: Same archive file [%d] "
                        "[%d] not opened.",
                        static_cast<int>(list[i].trellanId), static_cast<int>(list[i].afileId));
                    same = false;
                }
            }
        }
        if (same) return seekAll(list);
        EvEvent closeEvent;
        for (const auto& [stream, info] : m_streams) {
            if (!closeArchiveFile(stream, info)) return false;
        }
        m_streams.clear();
    }
    if (!openAll(list)) return false;
    return seekAll(list);
}

bool RestoreFloor::openAll(const std::vector<RestoreArchiveInfo>& list) {
    EvEvent event;
    ZebPlatformInfo settings;
    unsigned long delay = 0;
    if (settings.getNumber("MSSQLAgent", "DelayPipelineSetup", &delay) != 0) {
        event.debug(
            "RestorePipelineSetup(428): -Debug-: DelayPipelineSetup registry key is "
            "present with value [%lu].",
            delay);
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
        const RestoreArchiveInfo& entry = list[i];
        PipelineInfo& slot = m_slots[i];
        const unsigned long stream = i + 1;
        if (delay != 0 && i > 0) QISLEEP_InTeRnAl(1000, "RestorePipelineSetup", 438);
        OpenArgs_t openArgs;
        openArgs.afileId = entry.afileId;
        openArgs.groupNumber = entry.groupNumber;
        openArgs.subclientId = entry.subclientId;
        openArgs.trellanId = static_cast<uint32_t>(entry.trellanId);
        openArgs.archiveOpenParam = entry.archiveOpenParam;
        openArgs.openArgsValue = m_openArgsValue;
        if (slot.archive == nullptr) {
            ZebPlatformInfo machine;
            slot.archive = new ZebArchive(entry.archiveObjectParam, nullptr, true,
                                          machine.getPhysicalMachine());
        }
        OpenRet_t openRet{};
        if (slot.archive->open(&openArgs, &openRet) != 0 || openRet.sessionHead == nullptr) {
            return false;
        }
        slot.sessionHead = openRet.sessionHead;
        const uint64_t copy = openRet.copy;

        FSROpenArchive body;
        body.requestValue = m_openArgsValue;
        body.subclientId = entry.subclientId;
        body.messageValue = m_openMessageValue;
        body.copy = copy;
        body.streamNumber = stream;
        body.archiveFile.trellanId = entry.trellanId;
        body.archiveFile.subclientId = entry.subclientId;
        body.archiveFile.fileTrellanId = entry.trellanId;
        body.archiveFile.groupNumber = entry.groupNumber;
        body.archiveFile.afileId = entry.afileId;
        zebsDatabuf_v2 buffer;
        buffer.setExternalBuffer(reinterpret_cast<char*>(&body), sizeof body);
        bool flag = false;
        event.debug(
            "RestorePipelineSetup(490): -Debug-: Sending FSR_MSG_OPEN_ARCHIVE for "
            "AFileID [%lu], Group no [%lu], subclient ID [%lu].",
            entry.afileId, entry.groupNumber, entry.subclientId);
        CQiError result =
            slot.sessionHead->SendXDRMessage(FSR_MSG_OPEN_ARCHIVE, &buffer, 0, -1, flag);
        if (result.IsError()) return false;
        event.debug(
            "RestorePipelineSetup(498): -Debug-: FSR_MSG_OPEN_ARCHIVE succeeded for copy "
            "[%lu], AFileID [%lu].",
            copy, entry.afileId);
        if (!entry.readAll) {
            event.debug(
                "RestorePipelineSetup(525): -Debug-: Restoring only a single file so "
                "FSR_MSG_READ_ALL NOT sent for copy [%lu], AFileID [%lu].",
                copy, entry.afileId);
        } else {
            event.debug(
                "RestorePipelineSetup(504): -Debug-: Sending FSR_MSG_READ_ALL for copy "
                "[%lu], AFileID [%lu].",
                copy, entry.afileId);
            result = slot.sessionHead->SendXDRMessage(FSR_MSG_READ_ALL, nullptr, 0, -1, flag);
            if (result.IsError()) return false;
            event.debug(
                "RestorePipelineSetup(519): -Debug-: FSR_MSG_READ_ALL succeeded for copy "
                "[%lu], AFileID [%lu].",
                copy, entry.afileId);
        }
        m_streams.emplace(stream, slot);
    }
    return true;
}

bool RestoreFloor::seekAll(const std::vector<RestoreArchiveInfo>& list) {
    EvEvent event;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const RestoreArchiveInfo& entry = list[i];
        const PipelineInfo& slot = m_slots[i];
        if (slot.archive == nullptr || slot.sessionHead == nullptr) return false;
        FSRSeekArchive element;
        element.offset = entry.seekOffset;
        FSRSeekArchiveArray body;
        body.elements = &element;
        body.count = 1;
        zebsDatabuf_v2 buffer;
        buffer.setExternalBuffer(reinterpret_cast<char*>(&body), sizeof body);
        bool flag = false;
        const CQiError result =
            slot.sessionHead->SendXDRMessage(FSR_MSG_SEEK_TO_OFFSET, &buffer, 0, -1, flag);
        if (result.IsError()) return false;
        event.debug(
            "RestorePipelineSetup(394): -Debug-: FSR_MSG_SEEK_TO_OFFSET succeeded for "
            "TrellanId [%lu] AFileId [%lu] Offset [%llu].",
            entry.trellanId, entry.afileId, static_cast<unsigned long long>(entry.seekOffset));
    }
    return true;
}

bool RestoreFloor::closeArchiveFile(unsigned long stream, const PipelineInfo& info) {
    EvEvent event;
    ArchiveFileId_t open{};
    info.archive->GetArchiveFileId(&open);
    const int streamNumber = static_cast<int>(stream);
    event.debug("RestorePipelineSetup(210): -Debug-: Stream [%d]: Closing Archive File [%d]!",
                streamNumber, static_cast<int>(open.afileId));
    {
        zebsDatabuf_v2 buffer;
        bool flag = false;
        const CQiError result =
            info.sessionHead->SendXDRMessage(FSR_MSG_CLOSE_ARCHIVE, &buffer, 0, -1, flag);
        if (result.IsError()) return false;
    }
    event.debug(
        "RestorePipelineSetup(231): -Debug-: Sending close archive file and release "
        "volume to close archive file [%u] with stream [%d].",
        open.afileId, streamNumber);
    if (info.archive->CloseArchiveFileAndReleaseVolume() != 0) return false;
    event.debug(
        "RestorePipelineSetup(242): -Debug-: Waiting for PL_FS_CLOSE_AFILE message for "
        "archive file [%u] database stream [%d].",
        open.afileId, streamNumber);
    ReadBufArgs_t readArgs;
    ReadBufRet_t readRet;
    FreeBufArgs_t freeArgs;
    for (;;) {
        if (info.archive->readBuffer(&readArgs, &readRet) == 0) return false;
        info.archive->freeBuffer(&freeArgs, nullptr);
        if (readRet.messageType == PL_FS_CLOSE_AFILE) {
            event.debug(
                "RestorePipelineSetup(262): -Debug-: Received PL_FS_CLOSE_AFILE message "
                "for archive file [%u] database stream [%d].",
                open.afileId, streamNumber);
            return true;
        }
    }
}

bool RestoreFloor::closeAll() {
    bool result = true;
    {
        EvEvent closeEvent;
        for (auto it = m_streams.begin(); it != m_streams.end(); it = m_streams.erase(it)) {
            EvEvent event;
            const PipelineInfo info = it->second;
            const int streamNumber = static_cast<int>(it->first);
            ArchiveFileId_t open{};
            info.archive->GetArchiveFileId(&open);
            event.debug(
                "RestorePipelineSetup(104): -Debug-: Stream [%d]: Closing Archive File "
                "[%d]!",
                streamNumber, static_cast<int>(open.afileId));
            {
                zebsDatabuf_v2 buffer;
                bool flag = false;
                const CQiError sent =
                    info.sessionHead->SendXDRMessage(FSR_MSG_CLOSE_ARCHIVE, &buffer, 0, -1, flag);
                if (sent.IsError()) return false;
            }
            event.debug(
                "RestorePipelineSetup(120): -Debug-: Waiting for PL_FS_CLOSE_AFILE "
                "message for database stream %d",
                streamNumber);
            ReadBufArgs_t readArgs;
            ReadBufRet_t readRet;
            FreeBufArgs_t freeArgs;
            for (bool waiting = true; waiting;) {
                if (info.archive->readBuffer(&readArgs, &readRet) == 0) {
                    result = false;
                    break;
                }
                info.archive->freeBuffer(&freeArgs, nullptr);
                if (readRet.messageType == PL_FS_CLOSE_AFILE) {
                    event.debug(
                        "RestorePipelineSetup(137): -Debug-: Received PL_FS_CLOSE_AFILE "
                        "message for database stream %d",
                        streamNumber);
                } else if (readRet.messageType == PL_FS_READ_ALL_ABORTED) {
                    event.debug(
                        "RestorePipelineSetup(141): -Debug-: Received "
                        "PL_FS_READ_ALL_ABORTED message for database stream %d",
                        streamNumber);
                    waiting = false;
                } else if (readRet.messageType == PL_FS_DESTROY) {
                    event.debug(
                        "RestorePipelineSetup(146): -Debug-: Received PL_FS_DESTROY "
                        "message for database stream %d.",
                        streamNumber);
                    waiting = false;
                }
            }
        }
    }
    return result;
}

void RestoreFloor::shutDown() {
    EvEvent event;
    m_streams.clear();
    for (PipelineInfo& slot : m_slots) {
        if (slot.sessionHead != nullptr) {
            zebsDatabuf_v2 buffer;
            bool flag = false;
            slot.sessionHead->SendXDRMessage(FSR_MSG_RESTORE_END, &buffer, 0, -1, flag);
        }
        delete slot.archive;
        slot = PipelineInfo();
    }
}
