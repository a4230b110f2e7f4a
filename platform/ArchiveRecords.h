#pragma once

// Argument and result records of the archive library (ZebArchive). They are
// handed to the library by address, so their layout is part of the contract:
// integers are little-endian and a string field is a 32-byte std::string.
// Fields whose meaning belongs to the archive library alone are named after
// their byte offset.

#include <cstddef>
#include <cstdint>
#include <string>

class CZebNetwork;

// Result records that callers always pass as null.
struct SetupPipelineRet_t;
struct CloseAfileRet_t;
struct ClosePipelineRet_t;
struct FreeBufRet_t;

// Describes the pipeline that ZebArchive::setupPipeline sets up. 216 bytes.
struct SetupPipelineArgs_t {
    uint32_t recordKind = 0;         // 0
    uint64_t dataType = 0;           // 8
    uint64_t setupValue2 = 0;        // 16
    uint64_t reserved24 = 0;         // 24
    uint32_t setupValue3 = 0;        // 32
    uint64_t setupValue1 = 0;        // 40
    std::string text48;              // 48
    uint64_t reserved80 = 0;         // 80
    uint64_t reserved88 = 0;         // 88
    uint64_t reserved96 = 0;         // 96
    uint64_t reserved104 = 0;        // 104
    unsigned char unset112[8];       // 112, left unset by the constructor
    std::string setupText;           // 120
    uint64_t typeCode = 0;           // 152
    uint64_t typeDetail = 0;         // 160
    uint64_t reserved168 = 0;        // 168
    uint64_t pipelineKind = 0;       // 176
    uint64_t useIndexing = 1;        // 184
    uint64_t reserved192 = 0;        // 192
    uint64_t reserved200 = 0;        // 200
    bool flag208 = false;            // 208
};

// Describes the archive file that ZebArchive::createArchiveFile creates.
struct CreateArgs_t {
    std::string createText;          // 0
    uint64_t reserved32 = 0;         // 32
    uint64_t typeCode = 0;           // 40
    uint64_t dataType = 0;           // 48
    uint64_t reserved56[8] = {};     // 56-119
};

// Filled by createArchiveFile; no constructor runs. Bytes 8-19 are the new
// archive file's identity, laid out as ArchiveFileId_t.
struct CreateRet_t {
    unsigned char leading[8];        // 0
    uint32_t trellanId;              // 8
    uint32_t groupNumber;            // 12
    uint32_t afileId;                // 16
    unsigned char trailing[12];      // 20
};

// Identity of an archive file: Trellan id, group number, archive file id.
struct ArchiveFileId_t {
    uint32_t trellanId;              // 0
    uint32_t groupNumber;            // 4
    uint32_t afileId;                // 8
};

// Names the archive file that ZebArchive::closeAfile closes; no constructor
// runs, the caller sets every field.
struct CloseAfileArgs_t {
    uint32_t trellanId;              // 0
    uint32_t groupNumber;            // 4
    uint32_t afileId;                // 8
    uint64_t reserved16;             // 16
    uint32_t reserved24;             // 24
    uint32_t reserved28;             // 28
};

// How ZebArchive::closePipeline ends a pipeline; no constructor runs.
struct ClosePipelineArgs_t {
    uint64_t closeKind;              // 0
    uint64_t closeMode;              // 8
};

// Names the archive file that ZebArchive::openArchiveFile opens. 88 bytes.
struct OpenArgs_t {
    uint64_t afileId = 0;            // 0
    uint64_t groupNumber = 0;        // 8
    uint64_t subclientId = 0;        // 16
    uint32_t trellanId = 2;          // 24
    uint64_t archiveOpenParam = 0;   // 32
    uint64_t openArgsValue = 0;      // 40
    std::string text48;              // 48
    uint64_t reserved80 = 0;         // 80
};

// Filled by a successful openArchiveFile; no constructor runs.
struct OpenRet_t {
    CZebNetwork* sessionHead;        // 0: owned by the archive library
    uint64_t copy;                   // 8: copy number of the opened file
};

// Arguments of ZebArchive::readBuffer. The caller sets nothing.
struct ReadBufArgs_t {
    uint64_t maxLength = 0;          // 0 = the archive library's own chunk size
};

// Filled by a successful readBuffer: the type of the pipeline message read
// and, for a data message, the data. The data stays valid until freeBuffer.
struct ReadBufRet_t {
    int32_t messageType;             // 0
    char* data;                      // 8
    uint64_t dataLength;             // 16
};

// Arguments of ZebArchive::freeBuffer. The caller sets nothing.
struct FreeBufArgs_t {
    uint64_t reserved = 0;
};

static_assert(sizeof(SetupPipelineArgs_t) == 216);
static_assert(offsetof(SetupPipelineArgs_t, dataType) == 8);
static_assert(offsetof(SetupPipelineArgs_t, setupValue2) == 16);
static_assert(offsetof(SetupPipelineArgs_t, setupValue3) == 32);
static_assert(offsetof(SetupPipelineArgs_t, setupValue1) == 40);
static_assert(offsetof(SetupPipelineArgs_t, text48) == 48);
static_assert(offsetof(SetupPipelineArgs_t, reserved104) == 104);
static_assert(offsetof(SetupPipelineArgs_t, setupText) == 120);
static_assert(offsetof(SetupPipelineArgs_t, typeCode) == 152);
static_assert(offsetof(SetupPipelineArgs_t, typeDetail) == 160);
static_assert(offsetof(SetupPipelineArgs_t, pipelineKind) == 176);
static_assert(offsetof(SetupPipelineArgs_t, useIndexing) == 184);
static_assert(offsetof(SetupPipelineArgs_t, flag208) == 208);
static_assert(sizeof(CreateArgs_t) == 120);
static_assert(offsetof(CreateArgs_t, typeCode) == 40);
static_assert(offsetof(CreateArgs_t, dataType) == 48);
static_assert(sizeof(CreateRet_t) == 32);
static_assert(offsetof(CreateRet_t, trellanId) == 8);
static_assert(offsetof(CreateRet_t, groupNumber) == 12);
static_assert(offsetof(CreateRet_t, afileId) == 16);
static_assert(sizeof(ArchiveFileId_t) == 12);
static_assert(offsetof(ArchiveFileId_t, afileId) == 8);
static_assert(sizeof(CloseAfileArgs_t) == 32);
static_assert(offsetof(CloseAfileArgs_t, afileId) == 8);
static_assert(offsetof(CloseAfileArgs_t, reserved16) == 16);
static_assert(offsetof(CloseAfileArgs_t, reserved24) == 24);
static_assert(offsetof(CloseAfileArgs_t, reserved28) == 28);
static_assert(sizeof(ClosePipelineArgs_t) == 16);
static_assert(sizeof(OpenArgs_t) == 88);
static_assert(offsetof(OpenArgs_t, trellanId) == 24);
static_assert(offsetof(OpenArgs_t, archiveOpenParam) == 32);
static_assert(offsetof(OpenArgs_t, openArgsValue) == 40);
static_assert(offsetof(OpenArgs_t, text48) == 48);
static_assert(offsetof(OpenArgs_t, reserved80) == 80);
static_assert(offsetof(OpenRet_t, copy) == 8);
static_assert(offsetof(ReadBufRet_t, messageType) == 0);
