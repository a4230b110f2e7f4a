#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

// What says that a file is still the file that was read: which file it is
// (device and inode), its size, and its modification and change times to the
// nanosecond. Taken before a file is read and again after its last byte was
// read; any difference means the bytes read may mix two states of the file.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedSeconds = 0;
    long modifiedNanoseconds = 0;
    int64_t changedSeconds = 0;
    long changedNanoseconds = 0;
};

// The identity that a stat result describes.
FileIdentity identityOf(const struct stat& status);

// What differs between the identity before and after, in words that follow
// "changed while it was read (...)": "its size went from 4096 to 8192
// bytes", "its modification time went from ... to ...", "it was replaced by
// another file". The first difference found, in that order of weight: file,
// size, modification time, change time. Empty when nothing differs.
std::string describeChange(const FileIdentity& before, const FileIdentity& after);
