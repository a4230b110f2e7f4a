#pragma once

#include <string>

#include "manifest/Manifest.h"
#include "platform/local/Jobs.h"

// What check makes of one reference of a complete job (a job whose archive
// files hold data of its unchanged files), before the shares held there are
// read: a restore of the job needs the referred job complete and its archive
// files as the reference names them. Values only.

// What is wrong with reference as the catalog has its job (holder; null
// when the store has no such job): "the store has no job H", "job H is
// STATE, not complete", "archive file A (stream K) is not job H's",
// "archive file A (stream K) of job H is STATE, not closed", or "job H has
// archive file A (stream K), which the reference does not name" (the first
// found, in that order); empty when none is.
std::string referenceProblem(const ManifestReference& reference,
                             const localplatform::JobRecord* holder);

// Where a problem of manifest's reference to job `holder` lies, as check
// names it: "job J: FILE held by job H", "job J: FILE (and 2 more files)
// held by job H" with the first file held there, or "job J's reference to
// job H" when no file of it is held there.
std::string referenceWhere(const Manifest& manifest, unsigned long long holder);
