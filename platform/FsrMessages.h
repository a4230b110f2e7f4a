#pragma once

// Messages that a restore sends to the media side on a stream's session head
// (CZebNetwork::SendXDRMessage), their bodies, and the pipeline message types
// that ZebArchive::readBuffer reports afterwards.

#include <cstddef>
#include <cstdint>

constexpr unsigned long FSR_MSG_OPEN_ARCHIVE = 0x18000002;    // body: FSROpenArchive
constexpr unsigned long FSR_MSG_SEEK_FOLLOW_UP = 0x18000004;  // body: the seek's body again
constexpr unsigned long FSR_MSG_RESTORE_END = 0x18000005;     // empty body
constexpr unsigned long FSR_MSG_READ_ALL = 0x1800000C;        // no body at all
constexpr unsigned long FSR_MSG_CLOSE_ARCHIVE = 0x1800001F;   // empty body
constexpr unsigned long FSR_MSG_SEEK_TO_OFFSET = 0x18000095;  // body: FSRSeekArchiveArray

constexpr int PL_FS_CLOSE_AFILE = 132;
constexpr int PL_FS_DESTROY = 133;
constexpr int PL_FS_READ_ALL_ABORTED = 148;

// Identity of the archive file inside an FSROpenArchive body. 40 bytes.
struct FSRArchiveFileId {
    uint64_t trellanId = 0;          // 0
    uint64_t subclientId = 0;        // 8
    uint64_t fileTrellanId = 0;      // 16
    uint64_t groupNumber = 0;        // 24
    uint64_t afileId = 0;            // 32
};

// Body of FSR_MSG_OPEN_ARCHIVE. 88 bytes.
struct FSROpenArchive {
    uint64_t requestValue = 0;       // 0
    uint64_t reserved8 = 0;          // 8
    uint64_t subclientId = 0;        // 16
    uint64_t messageValue = 0;       // 24
    uint64_t copy = 0;               // 32
    uint64_t streamNumber = 0;       // 40
    FSRArchiveFileId archiveFile;    // 48
};

// One element of an FSR_MSG_SEEK_TO_OFFSET body. 40 bytes.
struct FSRSeekArchive {
    uint64_t offset = 0;             // 0
    uint64_t reserved[4] = {};       // 8-39
};

// Body of FSR_MSG_SEEK_TO_OFFSET. It holds its elements by address, so a byte
// copy of it does not carry the offsets. 16 bytes.
struct FSRSeekArchiveArray {
    int32_t count = 0;               // 0
    FSRSeekArchive* elements = nullptr;  // 8
};

static_assert(sizeof(FSRArchiveFileId) == 40);
static_assert(sizeof(FSROpenArchive) == 88);
static_assert(offsetof(FSROpenArchive, copy) == 32);
static_assert(offsetof(FSROpenArchive, streamNumber) == 40);
static_assert(offsetof(FSROpenArchive, archiveFile) == 48);
static_assert(sizeof(FSRSeekArchive) == 40);
static_assert(sizeof(FSRSeekArchiveArray) == 16);
static_assert(offsetof(FSRSeekArchiveArray, elements) == 8);
