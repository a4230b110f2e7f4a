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

// Reads one piece of `file` (one of file.pieces) from its holder's archive
// file data (storedSize bytes from its seekOffset, a MiB at a time) and
// verifies it as a restore reads it (PieceBytes): its bytes, or with stages
// (the holder's) its frames decoded, against the file's block digests; and
// a piece of the job's own against its stored digest. framed without
// stages: the holder's frames cannot be opened (no key), so only the
// stored bytes are read, and compared with the stored digest of an own
// piece. count as for checkShare. Returns empty when the piece is sound,
// else what is wrong in one line ("the piece at bytes S to E: ...").
std::string checkPiece(localplatform::ArchiveData& data, const ManifestFile& file,
                       const ManifestPiece& piece, bool framed, const JobStages* stages,
                       const std::function<void(std::size_t)>& count);
