#include "jobs/restore/TreeTarget.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include "base/AgentError.h"
#include "base/Console.h"
#include "base/Counted.h"
#include "base/InputRules.h"
#include "base/RelativePath.h"
#include "platform/local/StepHooks.h"
#include "streams/RestoreStreams.h"
#include "streams/StripeReader.h"

namespace {

bool isDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The place path names, made absolute and resolved through the links of
// the parts that exist (as samePlace does); path itself when that fails.
std::string placeOf(const std::string& path) {
    std::error_code error;
    const auto place =
        std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
    return error ? path : place.string();
}

// Per file of the set, whether it is restored: every one, or those within
// what wanted names and the directories above them, which the manifest
// records before them. Throws AgentError (bad input) when wanted names
// nothing.
std::vector<bool> chosenEntries(const std::vector<ManifestFile>& all, const std::string& file,
                                const std::string& manifestPath) {
    std::vector<bool> chosen(all.size(), file.empty());
    if (file.empty()) return chosen;
    std::string wanted = file;
    while (wanted.size() > 1 && wanted.back() == '/') wanted.pop_back();
    bool any = false;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (pathWithin(all[i].name, wanted)) chosen[i] = any = true;
    }
    if (!any) {
        throw badInput("manifest " + manifestPath + " holds no file or directory named " +
                       printablePath(file));
    }
    std::map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < all.size(); ++i) index.emplace(all[i].name, i);
    for (std::size_t i = all.size(); i-- > 0;) {
        if (!chosen[i]) continue;
        const auto parent = index.find(parentPath(all[i].name));
        if (parent != index.end()) chosen[parent->second] = true;
    }
    return chosen;
}

TreeOutputEntry::Kind outputKind(ManifestFile::Kind kind) {
    switch (kind) {
    case ManifestFile::Kind::Directory: return TreeOutputEntry::Kind::Directory;
    case ManifestFile::Kind::Symlink: return TreeOutputEntry::Kind::Symlink;
    default: return TreeOutputEntry::Kind::File;
    }
}

TreeOutputEntry entryOf(const ManifestFile& f) {
    TreeOutputEntry entry;
    entry.kind = outputKind(f.kind);
    entry.path = f.name;
    entry.mode = f.mode;
    entry.hasMtime = f.hasMtime;
    entry.mtime = f.mtime;
    entry.size = f.size;
    entry.target = f.target;
    return entry;
}

// The jobs whose archive files hold the chosen files' data (0: the set's
// own), the set's own first, then in the order the set first names them.
std::vector<unsigned long long> holdersOf(const std::vector<ManifestFile>& all,
                                          const std::vector<bool>& chosen) {
    std::vector<unsigned long long> holders{0};
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (!chosen[i] || !all[i].isFile() || all[i].size == 0 || all[i].hasPieces()) continue;
        if (std::find(holders.begin(), holders.end(), all[i].heldBy) == holders.end()) {
            holders.push_back(all[i].heldBy);
        }
    }
    return holders;
}

// Where each stream of a run's job starts: at its first share in the run
// (the first file's place in a stream the run does not read).
ManifestFile runStart(const std::vector<ManifestFile>& all, const std::vector<std::size_t>& run) {
    ManifestFile start = all[run.front()];
    for (ManifestShare& stream : start.shares) {
        for (std::size_t i : run) {
            const ManifestShare& share = all[i].shares[stream.archive.stream - 1];
            if (share.size == 0) continue;
            stream.seekOffset = share.seekOffset;
            break;
        }
    }
    return start;
}

// The runs, each read over one request: chosen files with data whose shares
// follow one another in the archive files of the job that holds them,
// consecutive in the set among that job's files. Each job's runs in turn,
// the set's own first. Files in pieces are read apart.
std::vector<std::vector<std::size_t>> runsOf(const std::vector<ManifestFile>& all,
                                             const std::vector<bool>& chosen) {
    std::vector<std::vector<std::size_t>> runs;
    for (const unsigned long long holder : holdersOf(all, chosen)) {
        bool inRun = false;
        std::map<unsigned long, uint64_t> ends;  // where each stream's next share must start
        for (std::size_t i = 0; i < all.size(); ++i) {
            const ManifestFile& f = all[i];
            if (!f.isFile() || f.size == 0 || f.heldBy != holder || f.hasPieces()) continue;
            bool follows = chosen[i];
            for (const ManifestShare& share : f.shares) {
                const auto end = ends.find(share.archive.stream);
                if (share.size != 0 && end != ends.end() && end->second != share.seekOffset) {
                    follows = false;
                }
            }
            if (!follows) ends.clear();
            if (!chosen[i]) {
                inRun = false;
                continue;
            }
            if (!inRun || !follows) runs.emplace_back();
            runs.back().push_back(i);
            inRun = true;
            for (const ManifestShare& share : f.shares) {
                if (share.size != 0)
                    ends[share.archive.stream] = share.seekOffset + share.storedSize;
            }
        }
    }
    return runs;
}

// Writes all of length bytes at offset of fd, the file that appears at path.
void writeAllAt(int fd, const void* data, std::size_t length, uint64_t offset,
                const std::string& path) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t written = ::pwrite(fd, bytes, length, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) {
            throw jobFailed("cannot write " + printablePath(path) + ": " + std::strerror(errno));
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
        offset += static_cast<uint64_t>(written);
    }
}

// The requests that read the chosen files in pieces: batches of at most
// `atOnce` files in the set's order, each batch's runs in turn.
std::vector<std::vector<std::size_t>> pieceBatches(const std::vector<ManifestFile>& all,
                                                   const std::vector<bool>& chosen,
                                                   std::size_t atOnce) {
    std::vector<std::vector<std::size_t>> batches;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (!chosen[i] || !all[i].hasPieces()) continue;
        if (batches.empty() || batches.back().size() == atOnce) batches.emplace_back();
        batches.back().push_back(i);
    }
    return batches;
}

// What a run of pieces writes into: each file of its batch in the tree's
// hidden directory, opened at its first piece and kept open (fds, per file
// of the set) until its last is in.
class TreePieceOutputs : public PieceOutputs {
public:
    TreePieceOutputs(TreeOutput& tree, const std::vector<std::size_t>& files,
                     const std::vector<std::size_t>& entryOf, std::vector<int>& fds)
        : m_tree(tree), m_files(files), m_entryOf(entryOf), m_fds(fds) {}
    void write(std::size_t file, const void* data, std::size_t length, uint64_t offset) override {
        int fd = -1;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const std::size_t i = m_files[file];
            if (m_fds[i] < 0) m_fds[i] = m_tree.openFile(m_entryOf[i]);
            fd = m_fds[i];
        }
        writeAllAt(fd, data, length, offset, m_tree.finalPath(m_entryOf[m_files[file]]));
    }

private:
    TreeOutput& m_tree;
    const std::vector<std::size_t>& m_files;
    const std::vector<std::size_t>& m_entryOf;
    std::vector<int>& m_fds;
    std::mutex m_mutex;
};

// What a run of a tree's files writes into: the tree's hidden directory.
class TreeRunOutputs : public RunOutputs {
public:
    TreeRunOutputs(TreeOutput& tree, std::vector<std::size_t> entries)
        : m_tree(tree), m_entries(std::move(entries)) {}
    int open(std::size_t file) override { return m_tree.openFile(m_entries[file]); }
    void finish(std::size_t file, int fd) override { m_tree.finishFile(m_entries[file], fd); }

private:
    TreeOutput& m_tree;
    const std::vector<std::size_t> m_entries;
};

// How --json shows entry f of a tree restored to path.
nlohmann::ordered_json restoredEntry(const ManifestFile& f, const std::string& path) {
    if (f.kind == ManifestFile::Kind::Directory) {
        return {{"name", f.name}, {"path", path}, {"kind", "directory"}, {"mode", f.mode}};
    }
    if (f.kind == ManifestFile::Kind::Symlink) {
        return {{"name", f.name}, {"path", path}, {"kind", "symlink"}, {"target", f.target}};
    }
    return {{"name", f.name},   {"path", path},     {"size", f.size},
            {"mode", f.mode},   {"sha256", f.sha256}, {"verified", true}};
}

}  // namespace

TreeTarget::TreeTarget(const RestoreOptions& options, const Manifest& manifest)
    : m_all(manifest.files),
      m_output(options.output),
      m_replace(options.replace),
      m_chosen(chosenEntries(manifest.files, options.file, options.manifest)),
      m_entryOf(manifest.files.size(), SIZE_MAX) {
    if (!isDirectory(m_output)) {
        throw badInput("the set holds a tree; --output " + m_output +
                       " must be an existing directory");
    }
    if (options.namedTemporary) {
        throw badInput("--named-temporary is for sets without a tree");
    }
    // What goes where: the tree's entries through its hidden directory, a
    // stream input as a file of its name.
    for (std::size_t i = 0; i < m_all.size(); ++i) {
        if (!m_chosen[i]) continue;
        const ManifestFile& f = m_all[i];
        m_needed.push_back(&f);
        m_bytes += f.size;
        if (f.isStream()) {
            m_inputs.push_back(i);
            m_inputPaths.push_back(m_output + "/" + f.name);
            requireNewFilePlace(m_inputPaths.back(), "output", m_replace);
            continue;
        }
        m_entryOf[i] = m_entries.size();
        m_entries.push_back(entryOf(f));
        m_fileCount += f.isFile() ? 1 : 0;
        m_directoryCount += f.kind == ManifestFile::Kind::Directory ? 1 : 0;
        m_linkCount += f.kind == ManifestFile::Kind::Symlink ? 1 : 0;
    }
    m_runs = runsOf(m_all, m_chosen);
    for (const std::vector<std::size_t>& run : m_runs) m_runStarts.push_back(runStart(m_all, run));
    m_piecesLeft.assign(m_all.size(), 0);
    m_pieceFds.assign(m_all.size(), -1);
    for (const std::vector<std::size_t>& batch : pieceBatches(m_all, m_chosen, kPieceFilesAtOnce)) {
        std::vector<const ManifestFile*> files;
        for (std::size_t i : batch) {
            files.push_back(&m_all[i]);
            m_piecesLeft[i] = m_all[i].pieces.size();
        }
        for (PieceRun& run : pieceRuns(files, manifest)) {
            m_pieceRuns.push_back({batch, std::move(run)});
        }
    }
}

void TreeTarget::close() noexcept {
    for (int& fd : m_pieceFds) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    m_inputOutputs.clear();
}

bool TreeTarget::writesAt(const std::string& path) const {
    for (const std::string& input : m_inputPaths) {
        if (samePlace(input, path)) return true;
    }
    // Only a path in the output directory, however either is spelt, can
    // meet one of its entries.
    if (!pathWithin(path, m_output) && !pathWithin(placeOf(path), placeOf(m_output))) {
        return false;
    }
    for (const TreeOutputEntry& entry : m_entries) {
        if (samePlace(path, m_output + "/" + entry.path)) return true;
    }
    return false;
}

void TreeTarget::requireOutsideStores(const std::string& store) const {
    ::requireOutsideStores(m_output, "output", store);
}

void TreeTarget::examinePlaces() {
    m_tree = std::make_unique<TreeOutput>(m_output, m_entries,
                                          TreeOutput::Options{m_replace, ""});
}

std::string TreeTarget::contents() const {
    return counted(m_fileCount, "file") + ", " +
           counted(m_directoryCount, "directory", "directories") + " and " +
           counted(m_linkCount, "link");
}

std::string TreeTarget::summary() const {
    return contents() + " (" + std::to_string(m_bytes) + " bytes)" +
           (m_inputs.empty() ? "" : " and a stream input");
}

void TreeTarget::open(const std::string& recordDirectory) {
    m_tree->setRecordDirectory(recordDirectory);
    for (std::size_t s = 0; s < m_inputs.size(); ++s) {
        OutputFile::Options these;
        these.replace = m_replace;
        these.recordDirectory = recordDirectory;
        these.mode = m_all[m_inputs[s]].mode;
        m_inputOutputs.push_back(std::make_unique<OutputFile>(m_inputPaths[s], these));
    }
}

void TreeTarget::prepare() { m_tree->prepare(); }

RestoreRequest TreeTarget::beginRequest(std::size_t r) {
    const std::size_t reads = m_runs.size() + m_pieceRuns.size();
    if (r >= reads) {
        const ManifestFile& input = m_all[m_inputs[r - reads]];
        return RestoreRequest{&input, false, input.name};
    }
    if (r >= m_runs.size()) {
        const PieceRequest& request = m_pieceRuns[r - m_runs.size()];
        const std::vector<std::size_t> read = piecesRead(request.run, request.files.size());
        std::vector<std::size_t> files;
        for (std::size_t f = 0; f < read.size(); ++f) {
            if (read[f] != 0) files.push_back(request.files[f]);
        }
        const std::string what =
            counted(request.run.pieceCount(), "piece") + " " + holderName(request.run.holder) +
            " of " +
            (files.size() == 1 ? printablePath(m_all[files[0]].name)
                               : std::to_string(files.size()) + " files from " +
                                     printablePath(m_all[files.front()].name) + " to " +
                                     printablePath(m_all[files.back()].name));
        say("request %zu of %zu (%s): setting up %s", r + 1, reads, what.c_str(),
            counted(request.run.start.shares.size(), "stream").c_str());
        return RestoreRequest{&request.run.start, false, what};
    }
    const std::vector<std::size_t>& run = m_runs[r];
    const std::string what = run.size() == 1 ? printablePath(m_all[run[0]].name)
                                             : std::to_string(run.size()) + " files from " +
                                                   printablePath(m_all[run.front()].name) +
                                                   " to " + printablePath(m_all[run.back()].name);
    say("request %zu of %zu (%s): setting up %s", r + 1, m_runs.size() + m_pieceRuns.size(),
        what.c_str(), counted(m_runStarts[r].shares.size(), "stream").c_str());
    return RestoreRequest{&m_runStarts[r], false, what};
}

void TreeTarget::readPieces(std::size_t r, const RequestStreams& streams) {
    const PieceRequest& request = m_pieceRuns[r - m_runs.size()];
    std::vector<const ManifestFile*> files;
    for (std::size_t i : request.files) files.push_back(&m_all[i]);
    TreePieceOutputs outputs(*m_tree, request.files, m_entryOf, m_pieceFds);
    streams.readPieces(request.run, files, outputs);
    // A file whose last piece is in is whole, every block of it checked.
    const std::vector<std::size_t> read = piecesRead(request.run, files.size());
    for (std::size_t f = 0; f < files.size(); ++f) {
        const std::size_t i = request.files[f];
        m_piecesLeft[i] -= read[f];
        if (read[f] == 0 || m_piecesLeft[i] != 0) continue;
        const int fd = m_pieceFds[i];
        m_pieceFds[i] = -1;
        m_tree->finishFile(m_entryOf[i], fd);
    }
    say("request %zu of %zu: read its %s, every block matches", r + 1,
        m_runs.size() + m_pieceRuns.size(), counted(request.run.pieceCount(), "piece").c_str());
}

void TreeTarget::readRequest(std::size_t r, const RequestStreams& streams) {
    if (r >= m_runs.size() && r < m_runs.size() + m_pieceRuns.size()) {
        readPieces(r, streams);
        return;
    }
    if (r >= m_runs.size()) {
        const std::size_t s = r - m_runs.size() - m_pieceRuns.size();
        const ManifestFile& input = m_all[m_inputs[s]];
        StripesToFile sink(*m_inputOutputs[s], input);
        streams.readStreamInput(input, sink);
        say("%s: read all %zu streams, checksums match", input.name.c_str(),
            input.shares.size());
        return;
    }
    std::vector<const ManifestFile*> files;
    std::vector<std::size_t> outputs;
    for (std::size_t i : m_runs[r]) {
        files.push_back(&m_all[i]);
        outputs.push_back(m_entryOf[i]);
    }
    TreeRunOutputs sink(*m_tree, outputs);
    streams.readRun(files, sink);
    say("request %zu of %zu: read all its shares, checksums match", r + 1,
        m_runs.size() + m_pieceRuns.size());
}

nlohmann::ordered_json TreeTarget::commit() {
    m_tree->commit();
    localplatform::crashPoint("output committed");
    for (auto& output : m_inputOutputs) output->commit();
    say("restored %s into %s: %llu bytes, every checksum verified", contents().c_str(),
        m_output.c_str(), static_cast<unsigned long long>(m_bytes));
    nlohmann::ordered_json restored = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < m_all.size(); ++i) {
        if (m_chosen[i])
            restored.push_back(restoredEntry(m_all[i], m_output + "/" + m_all[i].name));
    }
    return restored;
}
