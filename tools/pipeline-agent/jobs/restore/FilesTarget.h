#pragma once

#include <memory>
#include <string>
#include <vector>

#include "jobs/restore/NamedFilesTarget.h"
#include "outputs/OutputFile.h"

// The files of a set without a tree, each into an OutputFile of its own: into
// the directory options.output by its recorded name, or (a set of one, or
// the file --file names) at the path options.output. Every output stays
// open, unnamed (or hidden), until every file of the restore matched; then
// each appears in turn. A stream input is written stripe by stripe at each
// stripe's place.
class FilesTarget : public NamedFilesTarget {
public:
    // Chooses the files and checks each output's place (requireNewFilePlace).
    // Throws AgentError (bad input): several files and options.output no
    // directory, a recorded name that is no plain file name, a place taken.
    FilesTarget(const RestoreOptions& options, const Manifest& manifest);

    bool writesAt(const std::string& path) const override;
    void requireOutsideStores(const std::string& store) const override;
    void open(const std::string& recordDirectory) override;
    nlohmann::ordered_json commit() override;
    void close() noexcept override { m_outputs.clear(); }

protected:
    std::string readFile(std::size_t i, const RequestStreams& streams) override;
    void writePiece(std::size_t i, const void* data, std::size_t length, uint64_t offset) override;

private:
    const bool m_replace;
    const bool m_namedTemporary;
    const std::vector<std::string> m_paths;
    std::vector<std::unique_ptr<OutputFile>> m_outputs;
};
