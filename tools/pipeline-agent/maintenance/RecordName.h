#pragma once

#include <string>

#include "manifest/Manifest.h"
#include "platform/local/ArchiveFiles.h"

// A catalog's archive file named as the agent shows it everywhere:
// "trellan-group-afile" (archiveFileName).
inline std::string recordName(const localplatform::ArchiveFileRecord& file) {
    return archiveFileName({file.stream, file.trellanId, file.groupNumber, file.afileId});
}
