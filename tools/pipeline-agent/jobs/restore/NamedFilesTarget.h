#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "jobs/restore/PieceRuns.h"
#include "jobs/restore/RestoreJob.h"
#include "jobs/restore/RestoreTarget.h"
#include "manifest/Manifest.h"

// What the targets that restore files of a set by name share: the files
// chosen (all, or the one --file names exactly), one restore request a file
// (a file in pieces: one a run of its pieces, PieceRuns.h), each said as it
// is set up and once it is read. A whole set of the first format is read to
// the end of its archive files, as that format's restores always did; every
// other request asks for exactly the parts it reads.
class NamedFilesTarget : public RestoreTarget {
public:
    const std::vector<const ManifestFile*>& needed() const override { return m_files; }
    std::string summary() const override;
    uint64_t bytes() const override { return m_bytes; }
    std::size_t requestCount() const override { return m_requests.size(); }
    RestoreRequest beginRequest(std::size_t i) override;
    void readRequest(std::size_t i, const RequestStreams& streams) override;

protected:
    // Throws AgentError (bad input) when options.file names no file of the
    // manifest.
    NamedFilesTarget(const RestoreOptions& options, const Manifest& manifest);

    // Reads file i of the chosen ones; returns its SHA-256, as computed from
    // the bytes restored, once it matched the manifest's.
    virtual std::string readFile(std::size_t i, const RequestStreams& streams) = 0;
    // Where the pieces of file i (one in pieces) are written; throws
    // AgentError. This target writes no such file.
    virtual void writePiece(std::size_t i, const void* data, std::size_t length, uint64_t offset);

    const std::vector<const ManifestFile*>& files() const { return m_files; }
    // Each file's digest, once read.
    const std::vector<std::string>& digests() const { return m_digests; }

private:
    // A request: the file it reads, and which run of its pieces (SIZE_MAX:
    // the file whole).
    struct Request {
        std::size_t file = 0;
        std::size_t run = SIZE_MAX;
    };

    const std::vector<const ManifestFile*> m_files;
    std::vector<std::vector<PieceRun>> m_runs;  // [file]: a file in pieces, its runs
    std::vector<Request> m_requests;
    const bool m_readAll;
    uint64_t m_bytes = 0;
    std::vector<std::string> m_digests;
};
