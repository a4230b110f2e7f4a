#pragma once

#include <cstddef>
#include <map>
#include <vector>

#include "PipelineSetupExport.h"
#include "restore/PipelineInfo.h"
#include "restore/RestoreArchiveInfo.h"

class EvEvent;
class ZebArchive;

// Serves the restore requests of one restore job over up to 65 streams.
// Stream i+1 restores from entry i of the archive file list and uses slot i,
// whose archive object is made on first use and kept for every later request.
// Per request it opens the listed archive files (or keeps those already open
// when they match the list), tells the media side to open and, where asked,
// read them, and seeks every stream to its offset. Every operation reports
// its outcome as a bool and logs each failure; none throws on its own. Waits
// for the media side's answers block without a time limit: ending a hang is
// the platform's business. One caller at a time.
class PIPELINESETUP_EXPORT RestorePipelineSetup {
public:
    static constexpr std::size_t kMaxStreams = 65;

    // Both job values zero.
    RestorePipelineSetup();
    // openArgsValue goes into every open request of the archive library and
    // every FSR_MSG_OPEN_ARCHIVE; openMessageValue into every
    // FSR_MSG_OPEN_ARCHIVE.
    RestorePipelineSetup(unsigned long long openArgsValue, unsigned long openMessageValue);
    // Deletes the archive objects still in the slots, sending nothing: call
    // shutDownPipeline first to end the restore on the media side.
    ~RestorePipelineSetup();

    RestorePipelineSetup(const RestorePipelineSetup&) = delete;
    RestorePipelineSetup& operator=(const RestorePipelineSetup&) = delete;

    // Replaces the archive file list (at most kMaxStreams entries). Open
    // streams stay open until the next setupPipeline decides about them.
    void setRestoreArchiveFileInfoList(std::vector<RestoreArchiveInfo> list);
    // The streams open for the current request: stream number to its session
    // head and archive object, both valid until shutDownPipeline.
    std::map<unsigned long, PipelineInfo> getStreamPipeinfoMap();
    // When set, every request opens its files anew instead of reusing or
    // closing the open ones, and the closes keep the stream map.
    void setReopenEachRequest(bool reopen);
    bool reopenEachRequest() const;

    // Brings every listed stream to its restore offset: seeks only when the
    // open archive files match the list, else closes the open ones and opens
    // and seeks every listed file. False when a step failed (it has logged
    // why), and without touching anything for a list longer than kMaxStreams.
    bool setupPipeline();

    // True when the archive files open on the slots cannot serve the list:
    // the stream map and the list differ in size, or a slot lacks its archive
    // object or holds another archive file. Logs the reason.
    bool CheckIfNeedToCloseArchiveFiles();
    // Opens every listed archive file on its slot's archive object and tells
    // the media side to open (and, with readAll, read) it; each stream that
    // got through is entered in the stream map, which starts empty. Stops at
    // the first failing stream with false (an open that hands back no
    // session head fails too, and clears the slot's head from an earlier
    // open); the streams before it stay open.
    bool OpenArchiveFilesForRestore();
    // Sends every listed stream its seek offset (and, when reopening each
    // request, message FSR_MSG_SEEK_FOLLOW_UP). Stops at the first failure.
    bool SeekToOffsetInArchiveFiles();

    // Closes one stream's archive file and waits until the pipeline reports
    // it closed. Changes nothing in the object. False on a null archive
    // object or session head, a failed send, a failed close or a failed read.
    bool closeArchFile(unsigned long stream, PipelineInfo info);
    // closeArchFile for every stream in the map, stopping at the first
    // failure (the map is then kept); empties the map after a full success
    // unless reopening each request.
    bool closeArchFiles();
    // Has the media side close one stream's archive file, waits until the
    // pipeline is destroyed or reading aborted, and drops the stream from the
    // map. True for a stream not in the map. On a failed send the stream
    // stays; on a failed read it is dropped and the result is false.
    bool closePipeline(unsigned long stream);
    // closePipeline(k) for k = 1..(streams in the map), going on past
    // failures; then empties the map unless reopening each request.
    bool closePipeline();
    // Ends the restore: forgets all streams, then slot by slot sends
    // FSR_MSG_RESTORE_END where there is a session head (a failure is only
    // logged) and deletes the archive object. Always true. Should the
    // platform throw, the slots not yet ended keep their objects, for a
    // second call or the destructor.
    bool shutDownPipeline();

private:
    // False, with an error line, when the list has more entries than slots.
    bool listFitsSlots(EvEvent& event) const;

    PipelineInfo m_pipelineInfo[kMaxStreams];
    unsigned long long m_openArgsValue;
    unsigned long long m_openMessageValue;
    std::vector<RestoreArchiveInfo> m_restoreArchiveInfoList;
    std::map<unsigned long, PipelineInfo> m_streamPipeInfoMap;
    bool m_reopenEachRequest;
};
