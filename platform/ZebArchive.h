#pragma once

#include "platform/ArchiveRecords.h"
#include "platform/PlatformApi.h"

class ZebJobCtrlClient;

// One stream's handle on the archive library: a backup stream's pipeline and
// new archive file, or a restore stream's open archive file. Objects are made
// with new and deleted through the virtual destructor, which releases whatever
// the object still holds. Results of type int are 0 on success unless stated.
class ZEB_PLATFORM_API ZebArchive {
public:
    // Backup side. jobControl may be null; text may be null.
    ZebArchive(ZebJobCtrlClient* jobControl, bool flag, const char* text);
    // Restore side. machineName is read during the call only.
    ZebArchive(long long objectParam, ZebJobCtrlClient* jobControl, bool flag,
               const char* machineName);
    virtual ~ZebArchive();

    ZebArchive(const ZebArchive&) = delete;
    ZebArchive& operator=(const ZebArchive&) = delete;

    // Sets up the stream's pipeline from args. The archive library may keep
    // the address of args for the pipeline's life. ret may be null.
    int setupPipeline(SetupPipelineArgs_t* args, const char* text, SetupPipelineRet_t* ret);
    // Creates a new archive file and fills all of *ret on success.
    int createArchiveFile(CreateArgs_t* args, CreateRet_t* ret);
    int create(CreateArgs_t* args, CreateRet_t* ret) { return createArchiveFile(args, ret); }
    // Writes the current offset in the stream's archive file on success.
    int GetCurrentArchiveFileOffset(unsigned long long* offset);
    // Closes the archive file that args names. ret may be null.
    int closeAfile(CloseAfileArgs_t* args, CloseAfileRet_t* ret);
    // Resets the stream's restart context.
    int SetRestartContext(unsigned int context);
    // Releases the buffer of the last readBuffer. Both arguments may be null.
    int freeBuffer(FreeBufArgs_t* args, FreeBufRet_t* ret);
    // Ends the stream's pipeline. ret may be null.
    int closePipeline(ClosePipelineArgs_t* args, ClosePipelineRet_t* ret);

    // Opens the archive file that args names for reading. On success *ret
    // holds the session head, owned by the archive library, and the copy.
    int openArchiveFile(OpenArgs_t* args, OpenRet_t* ret);
    int open(OpenArgs_t* args, OpenRet_t* ret) { return openArchiveFile(args, ret); }
    // Fills *id with the identity of the archive file open on this object.
    int GetArchiveFileId(ArchiveFileId_t* id);
    // Closes the open archive file and releases its volume; else an error code.
    int CloseArchiveFileAndReleaseVolume();
    // Waits for the stream's next pipeline message. Nonzero when one was read:
    // its type, and for data the bytes, are in *ret until freeBuffer. 0 when
    // nothing more can be read.
    int readBuffer(ReadBufArgs_t* args, ReadBufRet_t* ret);

    struct Impl;

private:
    Impl* m_impl;
};
