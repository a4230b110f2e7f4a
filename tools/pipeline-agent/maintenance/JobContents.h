#pragma once

#include <string>
#include <vector>

#include "platform/local/Config.h"
#include "report/JsonReport.h"

// What the store's complete jobs hold, from the copies of their manifests
// that the store keeps. Everything here needs an open store.

// Prints the files of every complete job (job 0), or of job `job` alone, as
// a table on stdout: one row per file (name, bytes, mode, SHA-256) and a
// total row per job; a job whose copy is missing gets a row saying so. When
// a job's bytes went through stages, a STORED column (after BYTES) gives
// each file's and job's stored bytes, and the report's entries
// "storedBytes" (and the job's codec and encryption). With
// an enabled report, adds "contents" to it instead. Throws AgentError: bad
// input for a job the store does not have, a failed job when the store
// cannot be read.
void printJobContents(const localplatform::Config& config, JsonReport& report,
                      unsigned long long job);

// What is wrong with the complete jobs' manifests in the store: a job
// without one, one that does not parse or is of another job, one naming an
// archive file the catalog does not know or has as another job's. One line
// each; empty when all is well. Throws AgentError when the catalog cannot be
// read.
std::vector<std::string> storedManifestProblems(const localplatform::Config& config);
