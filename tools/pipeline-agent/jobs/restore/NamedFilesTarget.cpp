#include "jobs/restore/NamedFilesTarget.h"

#include "base/AgentError.h"
#include "base/Console.h"
#include "base/Counted.h"

#include <functional>

namespace {

// The files of the manifest that options name: the one of the name
// options.file, or every file.
std::vector<const ManifestFile*> chosenFiles(const RestoreOptions& options,
                                             const Manifest& manifest) {
    std::vector<const ManifestFile*> files;
    if (!options.file.empty()) {
        for (const ManifestFile& f : manifest.files) {
            if (f.name == options.file) files.push_back(&f);
        }
        if (files.empty()) {
            throw badInput("manifest " + options.manifest + " holds no file named " + options.file);
        }
    } else {
        for (const ManifestFile& f : manifest.files) files.push_back(&f);
    }
    return files;
}

}  // namespace

NamedFilesTarget::NamedFilesTarget(const RestoreOptions& options, const Manifest& manifest)
    : m_files(chosenFiles(options, manifest)),
      m_runs(m_files.size()),
      m_readAll(manifest.version == 1 && options.file.empty()),
      m_digests(m_files.size()) {
    for (std::size_t i = 0; i < m_files.size(); ++i) {
        m_bytes += m_files[i]->size;
        if (!m_files[i]->hasPieces()) {
            m_requests.push_back({i, SIZE_MAX});
            continue;
        }
        m_runs[i] = pieceRuns({m_files[i]}, manifest);
        for (std::size_t r = 0; r < m_runs[i].size(); ++r) m_requests.push_back({i, r});
    }
}

void NamedFilesTarget::writePiece(std::size_t i, const void*, std::size_t, uint64_t) {
    throw jobFailed(m_files[i]->name + " is in pieces, which this restore cannot write");
}

std::string NamedFilesTarget::summary() const {
    return std::to_string(m_files.size()) + " file" + (m_files.size() == 1 ? "" : "s") + " (" +
           std::to_string(m_bytes) + " bytes)";
}

RestoreRequest NamedFilesTarget::beginRequest(std::size_t r) {
    const std::size_t i = m_requests[r].file;
    const ManifestFile& file = *m_files[i];
    if (m_requests[r].run != SIZE_MAX) {
        const PieceRun& run = m_runs[i][m_requests[r].run];
        say("file %zu of %zu (%s): setting up %s for %s %s", i + 1, m_files.size(),
            file.name.c_str(), counted(run.start.shares.size(), "stream").c_str(),
            counted(run.pieceCount(), "piece").c_str(), holderName(run.holder).c_str());
        return RestoreRequest{&run.start, false, file.name};
    }
    say("file %zu of %zu (%s): setting up %zu stream%s", i + 1, m_files.size(), file.name.c_str(),
        file.shares.size(), file.shares.size() == 1 ? "" : "s");
    return RestoreRequest{&file, m_readAll, file.name};
}

namespace {

// A run of one file's pieces, written through its target.
class NamedPieceOutputs : public PieceOutputs {
public:
    using Write = std::function<void(const void*, std::size_t, uint64_t)>;
    explicit NamedPieceOutputs(Write write) : m_write(std::move(write)) {}
    void write(std::size_t, const void* data, std::size_t length, uint64_t offset) override {
        m_write(data, length, offset);
    }

private:
    const Write m_write;
};

}  // namespace

void NamedFilesTarget::readRequest(std::size_t r, const RequestStreams& streams) {
    const std::size_t i = m_requests[r].file;
    const ManifestFile& file = *m_files[i];
    if (m_requests[r].run != SIZE_MAX) {
        NamedPieceOutputs outputs([this, i](const void* data, std::size_t length, uint64_t offset) {
            writePiece(i, data, length, offset);
        });
        streams.readPieces(m_runs[i][m_requests[r].run], {&file}, outputs);
        if (m_requests[r].run + 1 < m_runs[i].size()) return;
        // Every block of it matched the digest the backup took of its bytes.
        m_digests[i] = file.sha256;
        say("file %zu of %zu (%s): read all %s, every block matches", i + 1, m_files.size(),
            file.name.c_str(), counted(file.pieces.size(), "piece").c_str());
        return;
    }
    m_digests[i] = readFile(i, streams);
    say("file %zu of %zu (%s): read all %zu stream%s, checksums match", i + 1, m_files.size(),
        file.name.c_str(), file.shares.size(), file.shares.size() == 1 ? "" : "s");
}
