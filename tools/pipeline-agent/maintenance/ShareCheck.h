#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "manifest/Manifest.h"
#include "platform/local/ArchiveFiles.h"
#include "stages/JobStages.h"

// Reads one share of `file` from its archive file's data (storedSize bytes
// from its seekOffset, a MiB at a time) and verifies it: the stored bytes
// against the manifest's stored digest and, when stages are given, their
// frames decoded against the share's logical size and digest. count is told
// of every chunk after it is read, and may throw to stop the reading.
// Returns empty when the share is sound, else what is wrong in one line.
// Throws what count or the read throws (StoreError). Thread rules: one
// thread at a time per data.
std::string checkShare(localplatform::ArchiveData& data, const ManifestFile& file,
                       const ManifestShare& share, const JobStages* stages,
                       const std::function<void(std::size_t)>& count);
