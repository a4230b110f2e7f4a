#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "jobs/restore/RequestStreams.h"
#include "manifest/Manifest.h"

// What one restore request asks the media side for: the streams sought to
// the parts of `first` in their archive files.
struct RestoreRequest {
    const ManifestFile* first = nullptr;
    bool readAll = false;  // stream on to the end of each archive file
    std::string what;      // what the request reads, named when it cannot be set up
};

// Where a restore writes what it reads: the files of a set by name, a tree,
// or standard output. The restore (runRestore) takes every step common to
// all of them in this order, one thread, and asks the target only for what
// differs:
//
//   made (the constructor chooses the manifest's files and checks where each
//   goes: bad input) -> writesAt, requireOutsideStores, examinePlaces ->
//   the store opened and the job held -> open -> prepare -> for each request:
//   beginRequest, the request set up, readRequest -> commit -> close.
//
// A failure at any step leaves nothing under an output's name: what open and
// prepare made is removed by close (which the restore calls before the job's
// hold goes, whether it failed or not) and by the destructor (after it).
class RestoreTarget {
public:
    virtual ~RestoreTarget() = default;

    // True when an output would be written at path (the trace's place),
    // however either is spelt.
    virtual bool writesAt(const std::string& path) const = 0;
    // Refuses (bad input) an output that lies in a store; store: the store
    // the restore reads, as configured.
    virtual void requireOutsideStores(const std::string& store) const = 0;
    // Checks what exists at the outputs' places, once every other check
    // passed; makes nothing. Throws AgentError (bad input).
    virtual void examinePlaces() {}
    // The files whose data the restore reads, for the job's hold to check.
    virtual const std::vector<const ManifestFile*>& needed() const = 0;
    // What is restored, for the line that starts the restore: "3 files
    // (300 bytes)".
    virtual std::string summary() const = 0;
    // The bytes the restore writes.
    virtual uint64_t bytes() const = 0;

    // Makes the outputs, nothing of them under its own name yet; a hidden
    // file or directory is recorded in recordDirectory (empty: nowhere).
    // Throws AgentError.
    virtual void open(const std::string& recordDirectory) = 0;
    // Once the job's report has begun, before the first request. Throws
    // AgentError (failed job).
    virtual void prepare() {}
    // How many restore requests read the outputs' data.
    virtual std::size_t requestCount() const = 0;
    // Says that request r is being set up, and returns what it asks for.
    virtual RestoreRequest beginRequest(std::size_t r) = 0;
    // Reads request r's files from its streams into the outputs, every
    // digest checked, and says so. Throws AgentError (failed job).
    virtual void readRequest(std::size_t r, const RequestStreams& streams) = 0;
    // Puts every output in place, says so and returns the outputs as
    // --json shows them. Throws AgentError (failed job).
    virtual nlohmann::ordered_json commit() = 0;
    // Lets go of what open made: what was not committed is removed. Never
    // throws.
    virtual void close() noexcept = 0;
};
