#pragma once

#include <map>
#include <string>

#include "PipelineSetupExport.h"
#include "platform/ArchiveRecords.h"

class EvEvent;
class ZebArchive;

// Sets up and ends the data streams of one backup job. Stream 1..N each get
// an archive object, a pipeline built from one setup record that all streams
// share, and a new archive file; the object keeps each stream's archive object
// and creation result until the stream is closed. Every operation reports its
// outcome as a bool and logs each failure; none throws on its own, but an
// exception from the platform or from allocation passes through. One caller
// at a time.
class PIPELINESETUP_EXPORT BackupPipelineSetup {
public:
    // All job values zero, no setup text.
    BackupPipelineSetup();
    // The job values that setupPipeline copies into the setup record; only
    // the low 32 bits of setupValue3 are used.
    BackupPipelineSetup(unsigned long long setupValue1, unsigned long setupValue2,
                        unsigned long setupValue3, std::string setupText);
    // Deletes the archive objects of streams still held, without closing
    // them: close the streams first.
    virtual ~BackupPipelineSetup();

    BackupPipelineSetup(const BackupPipelineSetup&) = delete;
    BackupPipelineSetup& operator=(const BackupPipelineSetup&) = delete;

    // Whether the streams' pipelines index the data (default true). Takes
    // effect only when called before setupPipeline.
    void setUseIndexing(bool useIndexing);
    // Derives the setup record's data type from the type values; type codes
    // other than 1, 2 and 4 leave it as it is. setupPipeline calls it too.
    void setDataType(unsigned long typeDetail, unsigned long typeCode);

    // Sets up streams 1..streamCount in turn, stopping at the first that
    // fails. True when all were set up (also for 0 streams). Streams set up
    // before a failure stay held for the close. False without making anything
    // when streamCount exceeds the largest stream number (2^31-1).
    bool setupPipeline(unsigned long typeDetail, unsigned long typeCode, unsigned long streamCount,
                       std::string createText);
    // Makes the stream's archive object, sets up its pipeline, creates its
    // archive file named by createText, pauses two seconds and holds the
    // stream. False, with nothing held and the archive object deleted, when a
    // step fails; false without making anything when the stream is already
    // held.
    bool AddStreamToPipeline(int stream, std::string createText);
    // Writes the current offset in a held stream's archive file. False, with
    // offset untouched, for a stream not held or a failed query. Logs nothing.
    bool getArchiveFileOffset(unsigned long stream, unsigned long long& offset);

    // Closes every held stream in ascending order (see close), stopping at the
    // first failure. Afterwards no stream is held: the archive objects of the
    // failed stream and of those after it are deleted without further calls.
    // True when every close succeeded or no stream was held.
    bool closePipeline(unsigned long closeMode, bool keepRestartContext);
    // Closes one held stream (see close); the stream stays held when the close
    // fails, so it can be tried again. True when it is not held.
    bool closePipeline(unsigned long stream, unsigned long closeMode, bool keepRestartContext);
    // Ends one stream: closes its archive file (closeMode nonzero; unless
    // keepRestartContext, its restart context is then reset) or has the
    // archive manager invalidate it (closeMode 0; a failure is only logged),
    // then frees its buffer, closes its pipeline and deletes archive. False,
    // with nothing else done, only when closing the archive file fails.
    bool close(unsigned long stream, CreateRet_t createRet, ZebArchive* archive,
               unsigned long closeMode, bool keepRestartContext);

private:
    // Has the archive manager invalidate the stream's archive file; logs on
    // the close's context.
    void invalidateArchiveFile(EvEvent& event, const CreateRet_t& createRet);
    // Deletes the archive objects still held and forgets their streams.
    void releaseHeldStreams();

    unsigned long long m_setupValue1;
    unsigned long long m_setupValue2;
    unsigned long long m_setupValue3;
    std::string m_setupText;
    unsigned long long m_streamCount;
    SetupPipelineArgs_t m_setupArgs;
    std::string m_createText;
    std::map<unsigned long long, CreateRet_t> m_createRetMap;
    std::map<unsigned long long, ZebArchive*> m_archiveMap;
};
