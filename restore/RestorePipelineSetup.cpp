#include "restore/RestorePipelineSetup.h"

#include <type_traits>
#include <utility>

#include "platform/ArchiveRecords.h"
#include "platform/CZebNetwork.h"
#include "platform/EvEvent.h"
#include "platform/FsrMessages.h"
#include "platform/QiSleep.h"
#include "platform/ZebArchive.h"
#include "platform/ZebPlatformInfo.h"
#include "platform/zebsDatabuf_v2.h"

// The 64-bit fields of the list are logged with %lu.
static_assert(std::is_same_v<uint64_t, unsigned long>);

namespace {

constexpr unsigned long kStreamPauseMs = 1000;

// Reads the next pipeline message of a stream and releases its buffer. False
// when nothing could be read; else ret.messageType holds the message's type.
bool readMessage(ZebArchive* archive, ReadBufArgs_t& args, ReadBufRet_t& ret,
                 FreeBufArgs_t& freeArgs) {
    if (archive->readBuffer(&args, &ret) == 0) return false;
    archive->freeBuffer(&freeArgs, nullptr);
    return true;
}

// Sends a message without a body on a session head.
CQiError sendEmpty(CZebNetwork* sessionHead, unsigned long code) {
    zebsDatabuf_v2 buffer;
    bool flag = false;
    return sessionHead->SendXDRMessage(code, &buffer, 0, -1, flag);
}

}  // namespace

RestorePipelineSetup::RestorePipelineSetup() : RestorePipelineSetup(0, 0) {}

RestorePipelineSetup::RestorePipelineSetup(unsigned long long openArgsValue,
                                           unsigned long openMessageValue)
    : m_openArgsValue(openArgsValue),
      m_openMessageValue(openMessageValue),
      m_reopenEachRequest(false) {}

RestorePipelineSetup::~RestorePipelineSetup() {
    for (PipelineInfo& slot : m_pipelineInfo) delete slot.archive;
}

void RestorePipelineSetup::setRestoreArchiveFileInfoList(std::vector<RestoreArchiveInfo> list) {
    m_restoreArchiveInfoList = std::move(list);
}

std::map<unsigned long, PipelineInfo> RestorePipelineSetup::getStreamPipeinfoMap() {
    return m_streamPipeInfoMap;
}

void RestorePipelineSetup::setReopenEachRequest(bool reopen) { m_reopenEachRequest = reopen; }

bool RestorePipelineSetup::reopenEachRequest() const { return m_reopenEachRequest; }

bool RestorePipelineSetup::setupPipeline() {
    EvEvent event;
    if (!listFitsSlots(event)) return false;
    if (!m_reopenEachRequest && !m_streamPipeInfoMap.empty()) {
        if (!CheckIfNeedToCloseArchiveFiles()) return SeekToOffsetInArchiveFiles();
        if (!closeArchFiles()) return false;
    }
    if (!OpenArchiveFilesForRestore()) return false;
    return SeekToOffsetInArchiveFiles();
}

bool RestorePipelineSetup::CheckIfNeedToCloseArchiveFiles() {
    EvEvent event;
    // The map never holds more streams than there are slots, so a list too
    // long for the slots always differs in size here.
    const std::size_t mapSize = m_streamPipeInfoMap.size();
    const std::size_t listSize = m_restoreArchiveInfoList.size();
    if (mapSize != listSize) {
        event.debug("RestorePipelineSetup(317): -Debug-: Size of stream pipe info map [%d], "
                    "archive file info [%d]. Need to close archive files.",
                    static_cast<int>(mapSize), static_cast<int>(listSize));
        return true;
    }
    for (std::size_t i = 0; i < listSize; ++i) {
        const RestoreArchiveInfo& entry = m_restoreArchiveInfoList[i];
        ZebArchive* archive = m_pipelineInfo[i].archive;
        // GCOVR_EXCL_START: not reachable. A stream enters the map only after
        // its slot got its archive object, the streams are numbered from 1
        // without gaps as they are opened, and only shutDownPipeline, which
        // empties the map first, takes objects away; so with the sizes equal
        // every slot the list reaches has one. Kept as a guard.
        if (archive == nullptr) {
            event.debug("RestorePipelineSetup(332): -Debug-: Empty Archive file object for "
                        "TrellanId [%d], AFileID[%d].",
                        static_cast<int>(entry.trellanId), static_cast<int>(entry.afileId));
            return true;
        }
        // GCOVR_EXCL_STOP
        ArchiveFileId_t open{};
        archive->GetArchiveFileId(&open);
        if (open.trellanId != entry.trellanId || open.afileId != entry.afileId) {
            event.debug("RestorePipelineSetup(342): -Debug-: Same archive file [%d] [%d] not "
                        "opened.",
                        static_cast<int>(entry.trellanId), static_cast<int>(entry.afileId));
            return true;
        }
    }
    return false;
}

bool RestorePipelineSetup::OpenArchiveFilesForRestore() {
    EvEvent event;
    if (!listFitsSlots(event)) return false;

    ZebPlatformInfo settings;
    unsigned long delay = 0;
    if (settings.getNumber("MSSQLAgent", "DelayPipelineSetup", &delay) != 0) {
        event.debug("RestorePipelineSetup(428): -Debug-: DelayPipelineSetup registry key is "
                    "present with value [%lu].",
                    delay);
    }
    m_streamPipeInfoMap.clear();

    for (std::size_t i = 0; i < m_restoreArchiveInfoList.size(); ++i) {
        const RestoreArchiveInfo& entry = m_restoreArchiveInfoList[i];
        PipelineInfo& slot = m_pipelineInfo[i];
        const unsigned long stream = i + 1;
        if (delay != 0 && i > 0) QISLEEP_InTeRnAl(kStreamPauseMs, "RestorePipelineSetup", 438);

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
        // Cleared, so that an open that writes nothing leaves no stray head.
        OpenRet_t openRet{};
        if (slot.archive->open(&openArgs, &openRet) != 0) {
            event.error("RestorePipelineSetup(468): -Error-: Failed to open ArchiveFile [%lu].",
                        entry.afileId);
            return false;
        }
        // Without a session head nothing can reach the media side for this
        // file: the stream counts as not opened. The slot's head from an
        // earlier open of this archive object is cleared too, since it no
        // longer belongs to the file open on the object: a later seek of the
        // stream then fails on the null head, and the shutdown sends nothing
        // for the slot.
        if (openRet.sessionHead == nullptr) {
            slot.sessionHead = nullptr;
            event.error("RestorePipelineSetup(470): -Error-: Failed to open ArchiveFile [%lu]: "
                        "no session head returned.",
                        entry.afileId);
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

        event.debug("RestorePipelineSetup(490): -Debug-: Sending FSR_MSG_OPEN_ARCHIVE for "
                    "AFileID [%lu], Group no [%lu], subclient ID [%lu].",
                    entry.afileId, entry.groupNumber, entry.subclientId);
        CQiError result =
            slot.sessionHead->SendXDRMessage(FSR_MSG_OPEN_ARCHIVE, &buffer, 0, -1, flag);
        if (result.IsError()) {
            event.error("RestorePipelineSetup(495): -Error-: Failed to send FSR_MSG_OPEN_ARCHIVE "
                        "for copy [%lu] AFileID [%lu] with error [%s].",
                        copy, entry.afileId, result.AsString().c_str());
            return false;
        }
        event.debug("RestorePipelineSetup(498): -Debug-: FSR_MSG_OPEN_ARCHIVE succeeded for copy "
                    "[%lu], AFileID [%lu].",
                    copy, entry.afileId);

        if (!entry.readAll) {
            event.debug("RestorePipelineSetup(525): -Debug-: Restoring only a single file so "
                        "FSR_MSG_READ_ALL NOT sent for copy [%lu], AFileID [%lu].",
                        copy, entry.afileId);
        } else {
            event.debug("RestorePipelineSetup(504): -Debug-: Sending FSR_MSG_READ_ALL for copy "
                        "[%lu], AFileID [%lu].",
                        copy, entry.afileId);
            result = slot.sessionHead->SendXDRMessage(FSR_MSG_READ_ALL, nullptr, 0, -1, flag);
            if (result.IsError()) {
                event.error("RestorePipelineSetup(510): -Error-: Failed to send FSR_MSG_READ_ALL "
                            "for copy [%lu], AFileID [%lu] with error [%s].",
                            copy, entry.afileId, result.AsString().c_str());
                closeArchFile(stream, slot);
                return false;
            }
            event.debug("RestorePipelineSetup(519): -Debug-: FSR_MSG_READ_ALL succeeded for copy "
                        "[%lu], AFileID [%lu].",
                        copy, entry.afileId);
        }
        m_streamPipeInfoMap.emplace(stream, slot);
    }
    return true;
}

bool RestorePipelineSetup::SeekToOffsetInArchiveFiles() {
    EvEvent event;
    if (!listFitsSlots(event)) return false;

    for (std::size_t i = 0; i < m_restoreArchiveInfoList.size(); ++i) {
        const RestoreArchiveInfo entry = m_restoreArchiveInfoList[i];
        const PipelineInfo& slot = m_pipelineInfo[i];
        const auto offset = static_cast<unsigned long long>(entry.seekOffset);
        if (slot.archive == nullptr) {
            event.error("RestorePipelineSetup(361): -Error-: Failed to send seek offset [%llu] as "
                        "archive object is empty for AfileID [%lu] TrellanID[%lu].",
                        offset, entry.afileId, entry.trellanId);
            return false;
        }
        if (slot.sessionHead == nullptr) {
            event.error("RestorePipelineSetup(369): -Error-: Failed to seek offset [%llu] as "
                        "session head is NULL for TrellanID [%lu] AFileId [%lu].",
                        offset, entry.trellanId, entry.afileId);
            return false;
        }

        // The body holds its element by address; both stay in place until
        // every send of this entry has returned.
        FSRSeekArchive element;
        element.offset = entry.seekOffset;
        FSRSeekArchiveArray body;
        body.elements = &element;
        body.count = 1;
        zebsDatabuf_v2 buffer;
        buffer.setExternalBuffer(reinterpret_cast<char*>(&body), sizeof body);
        bool flag = false;

        CQiError result =
            slot.sessionHead->SendXDRMessage(FSR_MSG_SEEK_TO_OFFSET, &buffer, 0, -1, flag);
        if (result.IsError()) {
            event.error("RestorePipelineSetup(389): -Error-: Failed to send FSR_MSG_SEEK_TO_OFFSET "
                        "for TrellanId [%lu] AFileId [%lu] Offset [%llu] with error [%s].",
                        entry.trellanId, entry.afileId, offset, result.AsString().c_str());
            return false;
        }
        event.debug("RestorePipelineSetup(394): -Debug-: FSR_MSG_SEEK_TO_OFFSET succeeded for "
                    "TrellanId [%lu] AFileId [%lu] Offset [%llu].",
                    entry.trellanId, entry.afileId, offset);

        if (m_reopenEachRequest) {
            // Logged under the close message's name, as the media side's
            // operators know it.
            result = slot.sessionHead->SendXDRMessage(FSR_MSG_SEEK_FOLLOW_UP, &buffer, 0, -1, flag);
            if (result.IsError()) {
                event.error("RestorePipelineSetup(402): -Error-: Failed to send "
                            "FSR_MSG_CLOSE_ARCHIVE for offset [%llu] with error [%s]",
                            offset, result.AsString().c_str());
                return false;
            }
            event.debug("RestorePipelineSetup(405): -Debug-: FSR_MSG_CLOSE_ARCHIVE succeeded for "
                        "TrellanId [%lu] AFileId [%lu] Offset [%llu].",
                        entry.trellanId, entry.afileId, offset);
        }
    }
    return true;
}

bool RestorePipelineSetup::closeArchFile(unsigned long stream, PipelineInfo info) {
    EvEvent event;
    if (info.archive == nullptr) {
        event.error("RestorePipelineSetup(199): -Error-: Archive object is NULL. Cannot close "
                    "pipeline.");
        return false;
    }
    if (info.sessionHead == nullptr) {
        event.error("RestorePipelineSetup(201): -Error-: Session head is NULL for stream [%lu]. "
                    "Cannot close archive file.",
                    stream);
        return false;
    }
    ArchiveFileId_t open{};
    info.archive->GetArchiveFileId(&open);
    const int streamNumber = static_cast<int>(stream);
    event.debug("RestorePipelineSetup(210): -Debug-: Stream [%d]: Closing Archive File [%d]!",
                streamNumber, static_cast<int>(open.afileId));

    const CQiError result = sendEmpty(info.sessionHead, FSR_MSG_CLOSE_ARCHIVE);
    if (result.IsError()) {
        event.debug("RestorePipelineSetup(219): -Debug-: Stream [%lu]: "
                    "SendXDRMessage(FSR_MSG_CLOSE_ARCHIVE) failed. Error:[%s]",
                    stream, result.AsString().c_str());
        return false;
    }
    event.debug("RestorePipelineSetup(231): -Debug-: Sending close archive file and release "
                "volume to close archive file [%u] with stream [%d].",
                open.afileId, streamNumber);
    const int code = info.archive->CloseArchiveFileAndReleaseVolume();
    if (code != 0) {
        event.error("RestorePipelineSetup(236): -Error-: Failed to close and release volume "
                    "during the closure of ArchFile [%u] for Stream [%d] with error [%d].",
                    open.afileId, streamNumber, code);
        return false;
    }

    event.debug("RestorePipelineSetup(242): -Debug-: Waiting for PL_FS_CLOSE_AFILE message for "
                "archive file [%u] database stream [%d].",
                open.afileId, streamNumber);
    ReadBufArgs_t readArgs;
    ReadBufRet_t readRet;
    FreeBufArgs_t freeArgs;
    for (;;) {
        if (!readMessage(info.archive, readArgs, readRet, freeArgs)) {
            event.debug("RestorePipelineSetup(252): -Debug-: Failed in ZebArchive.readBuffer() "
                        "after closing Archive File [%u]",
                        open.afileId);
            return false;
        }
        if (readRet.messageType == PL_FS_CLOSE_AFILE) {
            event.debug("RestorePipelineSetup(262): -Debug-: Received PL_FS_CLOSE_AFILE message "
                        "for archive file [%u] database stream [%d].",
                        open.afileId, streamNumber);
            return true;
        }
        if (readRet.messageType == PL_FS_READ_ALL_ABORTED) {
            event.debug("RestorePipelineSetup(268): -Debug-: Received PL_FS_READ_ALL_ABORTED "
                        "message for archive file [%u] database stream %d",
                        open.afileId, streamNumber);
        }
    }
}

bool RestorePipelineSetup::closeArchFiles() {
    EvEvent event;
    if (m_streamPipeInfoMap.empty()) {
        event.debug("RestorePipelineSetup(280): -Debug-: Stream pipeline info map is empty. No "
                    "archive files to close.");
        return true;
    }
    for (const auto& [stream, info] : m_streamPipeInfoMap) {
        if (!closeArchFile(stream, info)) return false;
    }
    if (!m_reopenEachRequest) m_streamPipeInfoMap.clear();
    return true;
}

bool RestorePipelineSetup::closePipeline(unsigned long stream) {
    EvEvent event;
    const auto it = m_streamPipeInfoMap.find(stream);
    if (it == m_streamPipeInfoMap.end()) return true;
    const PipelineInfo info = it->second;
    ArchiveFileId_t open{};
    info.archive->GetArchiveFileId(&open);
    const int streamNumber = static_cast<int>(stream);
    event.debug("RestorePipelineSetup(104): -Debug-: Stream [%d]: Closing Archive File [%d]!",
                streamNumber, static_cast<int>(open.afileId));

    // GCOVR_EXCL_BR_LINE below: the head is never null, since an open that
    // hands back none enters no stream in the map. Kept as a guard.
    if (info.sessionHead != nullptr) {  // GCOVR_EXCL_BR_LINE
        const CQiError result = sendEmpty(info.sessionHead, FSR_MSG_CLOSE_ARCHIVE);
        if (result.IsError()) {
            event.debug("RestorePipelineSetup(114): -Debug-: Stream [%d]: "
                        "SendXDRMessage(FSR_MSG_CLOSE_ARCHIVE) failed. Error:[%s]",
                        streamNumber, result.AsString().c_str());
            return false;
        }
    }

    event.debug("RestorePipelineSetup(120): -Debug-: Waiting for PL_FS_CLOSE_AFILE message for "
                "database stream %d",
                streamNumber);
    ReadBufArgs_t readArgs;
    ReadBufRet_t readRet;
    FreeBufArgs_t freeArgs;
    bool readFailed = false;
    for (bool waiting = true; waiting;) {
        if (!readMessage(info.archive, readArgs, readRet, freeArgs)) {
            event.debug("RestorePipelineSetup(126): -Debug-: Failed in ZebArchive.readBuffer() "
                        "after closing Archive File");
            readFailed = true;
            break;
        }
        switch (readRet.messageType) {
            case PL_FS_CLOSE_AFILE:
                event.debug("RestorePipelineSetup(137): -Debug-: Received PL_FS_CLOSE_AFILE "
                            "message for database stream %d",
                            streamNumber);
                break;
            case PL_FS_READ_ALL_ABORTED:
                event.debug("RestorePipelineSetup(141): -Debug-: Received PL_FS_READ_ALL_ABORTED "
                            "message for database stream %d",
                            streamNumber);
                waiting = false;
                break;
            case PL_FS_DESTROY:
                event.debug("RestorePipelineSetup(146): -Debug-: Received PL_FS_DESTROY message "
                            "for database stream %d.",
                            streamNumber);
                waiting = false;
                break;
            default:
                break;
        }
    }
    m_streamPipeInfoMap.erase(stream);
    return !readFailed;
}

bool RestorePipelineSetup::closePipeline() {
    EvEvent event;
    // Stream numbers run 1..N by count, as the opening numbers them.
    const std::size_t count = m_streamPipeInfoMap.size();
    bool result = true;
    for (unsigned long stream = 1; stream <= count; ++stream) {
        if (!closePipeline(stream)) result = false;
    }
    if (!m_reopenEachRequest) m_streamPipeInfoMap.clear();
    return result;
}

bool RestorePipelineSetup::shutDownPipeline() {
    EvEvent event;
    // Forgotten first: should a send throw part way, no stream may still
    // refer to an archive object that an earlier slot has already destroyed.
    m_streamPipeInfoMap.clear();
    for (std::size_t i = 0; i < kMaxStreams; ++i) {
        PipelineInfo& slot = m_pipelineInfo[i];
        if (slot.sessionHead != nullptr) {
            const CQiError result = sendEmpty(slot.sessionHead, FSR_MSG_RESTORE_END);
            if (result.IsError()) {
                event.debug("RestorePipelineSetup(176): -Debug-: Failed to send "
                            "FSR_MSG_RESTORE_END for stream(%d).Error:[%s]",
                            static_cast<int>(i), result.AsString().c_str());
            }
        }
        delete slot.archive;
        // Nothing may reach a destroyed archive object or its session head.
        slot = PipelineInfo();
    }
    return true;
}

bool RestorePipelineSetup::listFitsSlots(EvEvent& event) const {
    if (m_restoreArchiveInfoList.size() <= kMaxStreams) return true;
    event.error("RestorePipelineSetup(300): -Error-: Archive file list has [%lu] entries, more "
                "than the [%lu] streams supported.",
                static_cast<unsigned long>(m_restoreArchiveInfoList.size()),
                static_cast<unsigned long>(kMaxStreams));
    return false;
}
