#pragma once

// The floors of the benchmarks: hand-written loops that make the platform
// calls a job makes through the library, in the same order, with the same
// records and the same log calls, and keep the per-stream handles in the same
// kind of maps, but without the library's classes. They handle only the
// paths the benchmarks take (every platform call succeeding), checking each
// result as the library does. FloorCheck proves them faithful.

#include <map>
#include <string>
#include <vector>

#include "restore/PipelineInfo.h"
#include "restore/RestoreArchiveInfo.h"

// A backup job as the agent hands it over.
struct BackupJobInput {
    unsigned long long setupValue1 = 0;
    unsigned long setupValue2 = 0;
    unsigned long setupValue3 = 0;
    std::string setupText;
    unsigned long typeDetail = 0;
    unsigned long typeCode = 0;
    unsigned long streams = 0;
    std::string createText;
    unsigned long closeMode = 1;
    bool keepRestartContext = false;
};

// Sets up job.streams backup streams and closes them all, as
// BackupPipelineSetup's constructor, setupPipeline, closePipeline(closeMode,
// keepRestartContext) and destructor do. False at the first failure.
bool floorBackupJob(const BackupJobInput& job);

// One restore job's handles, as RestorePipelineSetup keeps them.
class RestoreFloor {
public:
    static constexpr std::size_t kSlots = 65;

    // The job values of RestorePipelineSetup's constructor.
    RestoreFloor(unsigned long long openArgsValue, unsigned long openMessageValue);
    // Deletes the archive objects still in the slots.
    ~RestoreFloor();
    RestoreFloor(const RestoreFloor&) = delete;
    RestoreFloor& operator=(const RestoreFloor&) = delete;

    // The list of the next requests, kept as the library keeps it.
    void setList(std::vector<RestoreArchiveInfo> list);
    // One restore request over the list, as RestorePipelineSetup::setupPipeline:
    // seeks only when the open files are the list's, else closes them
    // (waiting for PL_FS_CLOSE_AFILE) and opens and seeks every listed file.
    bool request();
    // closePipeline(): each open stream waits for PL_FS_DESTROY or
    // PL_FS_READ_ALL_ABORTED and is forgotten.
    bool closeAll();
    // shutDownPipeline(): FSR_MSG_RESTORE_END on every slot with a session
    // head, then its archive object deleted.
    void shutDown();

private:
    bool openAll(const std::vector<RestoreArchiveInfo>& list);
    bool seekAll(const std::vector<RestoreArchiveInfo>& list);
    bool closeArchiveFile(unsigned long stream, const PipelineInfo& info);

    PipelineInfo m_slots[kSlots];
    std::vector<RestoreArchiveInfo> m_list;
    std::map<unsigned long, PipelineInfo> m_streams;
    unsigned long long m_openArgsValue;
    unsigned long long m_openMessageValue;
};
