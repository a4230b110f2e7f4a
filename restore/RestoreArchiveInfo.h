#pragma once

#include <cstddef>
#include <cstdint>

// One stream's archive file in a restore request, built by the agent: entry i
// of the list serves stream i+1. The list is passed by value, so the layout
// is fixed.
struct RestoreArchiveInfo {
    uint64_t subclientId = 0;        // 0
    uint64_t trellanId = 0;          // 8: with afileId, names the archive file
    uint64_t archiveOpenParam = 0;   // 16: handed to the archive library's open
    int64_t archiveObjectParam = 0;  // 24: handed to the archive object's constructor
    uint64_t afileId = 0;            // 32
    uint64_t groupNumber = 0;        // 40
    uint64_t reserved = 0;           // 48: carried, never read
    uint64_t seekOffset = 0;         // 56: where the stream's restore starts
    bool readAll = false;            // 64: have the media side read the whole file
};

static_assert(sizeof(RestoreArchiveInfo) == 72);
static_assert(offsetof(RestoreArchiveInfo, trellanId) == 8);
static_assert(offsetof(RestoreArchiveInfo, archiveOpenParam) == 16);
static_assert(offsetof(RestoreArchiveInfo, archiveObjectParam) == 24);
static_assert(offsetof(RestoreArchiveInfo, afileId) == 32);
static_assert(offsetof(RestoreArchiveInfo, groupNumber) == 40);
static_assert(offsetof(RestoreArchiveInfo, reserved) == 48);
static_assert(offsetof(RestoreArchiveInfo, seekOffset) == 56);
static_assert(offsetof(RestoreArchiveInfo, readAll) == 64);
