#pragma once

#include <utility>
#include <vector>

#include "manifest/Manifest.h"

// Which archive file of another store holds what each archive file of this
// one does, byte for byte: a job copied between stores keeps its offsets
// and digests, but its archive files, and those of the jobs it refers to,
// have the identities the other store gave them.
using ArchiveMap = std::vector<std::pair<ManifestArchive, ManifestArchive>>;

// The manifest with every archive file it names (its own, those of its
// files' shares and pieces, and those of its references) replaced by the
// one `map` gives for it; nothing else changes. Throws AgentError (failed
// job) naming an archive file that map lacks.
Manifest remapArchives(Manifest manifest, const ArchiveMap& map);
