#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jobs/restore/PieceRuns.h"
#include "jobs/restore/RestoreJob.h"
#include "jobs/restore/RestoreTarget.h"
#include "outputs/OutputFile.h"
#include "outputs/TreeOutput.h"

// A set that holds a tree (or more files than may be open at once), into
// the directory options.output through one hidden directory (TreeOutput):
// the chosen entries (all, or what --file names and what lies below it) and
// the directories above them. The files are read in runs of consecutive
// files, one restore request a run (one for a whole set), each stream reading
// its shares of the run in turn, each file open only while it is written.
// Then the files in pieces (format 5), kPieceFilesAtOnce at a time in the
// set's order, in runs of pieces (PieceRuns.h), each such file open from its
// first piece until its last is in. A stream input of the set is restored
// into the directory as a file (an OutputFile of its name), after the tree,
// and appears just after it.
class TreeTarget : public RestoreTarget {
public:
    // Chooses the entries and checks each stream input's place. Throws
    // AgentError (bad input): nothing named options.file, options.output no
    // directory, --named-temporary, a stream input's place taken.
    TreeTarget(const RestoreOptions& options, const Manifest& manifest);

    bool writesAt(const std::string& path) const override;
    void requireOutsideStores(const std::string& store) const override;
    // Every entry's path against the output directory (see TreeOutput).
    void examinePlaces() override;
    const std::vector<const ManifestFile*>& needed() const override { return m_needed; }
    std::string summary() const override;
    uint64_t bytes() const override { return m_bytes; }
    void open(const std::string& recordDirectory) override;
    // Makes the hidden directory and what holds no data.
    void prepare() override;
    std::size_t requestCount() const override {
        return m_runs.size() + m_pieceRuns.size() + m_inputs.size();
    }
    RestoreRequest beginRequest(std::size_t r) override;
    void readRequest(std::size_t r, const RequestStreams& streams) override;
    nlohmann::ordered_json commit() override;
    void close() noexcept override;

    // The most files in pieces open at once.
    static constexpr std::size_t kPieceFilesAtOnce = 64;

private:
    // A run of pieces of a batch of files in pieces.
    struct PieceRequest {
        std::vector<std::size_t> files;  // into the set
        PieceRun run;
    };
    void readPieces(std::size_t r, const RequestStreams& streams);

    // "2 files, 1 directory and 0 links".
    std::string contents() const;

    const std::vector<ManifestFile>& m_all;
    const std::string m_output;
    const bool m_replace;
    const std::vector<bool> m_chosen;     // per file of the set
    std::vector<const ManifestFile*> m_needed;
    std::vector<TreeOutputEntry> m_entries;
    std::vector<std::size_t> m_entryOf;   // per file of the set; SIZE_MAX for none
    std::vector<std::size_t> m_inputs;    // the chosen stream inputs
    std::vector<std::string> m_inputPaths;
    std::vector<std::vector<std::size_t>> m_runs;
    std::vector<ManifestFile> m_runStarts;  // per run: where its request seeks each stream
    std::vector<PieceRequest> m_pieceRuns;
    std::vector<std::size_t> m_piecesLeft;  // per file of the set: pieces not yet read
    std::vector<int> m_pieceFds;            // per file of the set: open while it is written
    uint64_t m_bytes = 0;
    std::size_t m_fileCount = 0, m_directoryCount = 0, m_linkCount = 0;
    std::unique_ptr<TreeOutput> m_tree;
    std::vector<std::unique_ptr<OutputFile>> m_inputOutputs;
};
