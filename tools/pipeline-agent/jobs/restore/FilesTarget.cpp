#include "jobs/restore/FilesTarget.h"

#include <sys/stat.h>

#include "base/AgentError.h"
#include "base/Console.h"
#include "base/InputRules.h"
#include "platform/local/StepHooks.h"

namespace {

bool isDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Where each of files goes (see FilesTarget), each place checked in turn.
std::vector<std::string> placesOf(const std::vector<const ManifestFile*>& files,
                                  const RestoreOptions& options) {
    const bool intoDirectory = isDirectory(options.output);
    if (!intoDirectory && files.size() > 1) {
        throw badInput("the set holds " + std::to_string(files.size()) + " files; --output " +
                       options.output + " must be an existing directory");
    }
    std::vector<std::string> paths;
    for (const ManifestFile* f : files) {
        if (!intoDirectory) {
            paths.push_back(options.output);
        } else if (f->name.empty() || f->name.find('/') != std::string::npos || f->name == "." ||
                   f->name == "..") {
            throw badInput("manifest " + options.manifest +
                           " records no usable file name; "
                           "give --output a file path");
        } else {
            paths.push_back(options.output + "/" + f->name);
        }
        requireNewFilePlace(paths.back(), "output", options.replace);
    }
    return paths;
}

}  // namespace

FilesTarget::FilesTarget(const RestoreOptions& options, const Manifest& manifest)
    : NamedFilesTarget(options, manifest),
      m_replace(options.replace),
      m_namedTemporary(options.namedTemporary),
      m_paths(placesOf(files(), options)) {}

bool FilesTarget::writesAt(const std::string& path) const {
    for (const std::string& output : m_paths) {
        if (samePlace(output, path)) return true;
    }
    return false;
}

void FilesTarget::requireOutsideStores(const std::string& store) const {
    for (const std::string& path : m_paths) ::requireOutsideStores(path, "output", store);
}

void FilesTarget::open(const std::string& recordDirectory) {
    OutputFile::Options options;
    options.replace = m_replace;
    options.namedTemporary = m_namedTemporary;
    options.recordDirectory = recordDirectory;
    for (std::size_t i = 0; i < files().size(); ++i) {
        OutputFile::Options these = options;
        these.mode = files()[i]->mode;
        m_outputs.push_back(std::make_unique<OutputFile>(m_paths[i], these));
    }
}

std::string FilesTarget::readFile(std::size_t i, const RequestStreams& streams) {
    const ManifestFile& file = *files()[i];
    if (file.isStream()) {
        StripesToFile sink(*m_outputs[i], file);
        return streams.readStreamInput(file, sink);
    }
    return streams.readFile(file, *m_outputs[i]);
}

void FilesTarget::writePiece(std::size_t i, const void* data, std::size_t length, uint64_t offset) {
    m_outputs[i]->writeAt(data, length, offset);
}

nlohmann::ordered_json FilesTarget::commit() {
    nlohmann::ordered_json restored = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < m_outputs.size(); ++i) {
        const ManifestFile& file = *files()[i];
        m_outputs[i]->commit();
        localplatform::crashPoint("output committed");
        say("restored %s: %llu bytes, checksum verified", m_paths[i].c_str(),
            static_cast<unsigned long long>(file.size));
        // The file's digest was taken from the bytes restored and matched
        // the manifest's.
        restored.push_back({{"name", file.name},
                            {"path", m_paths[i]},
                            {"size", file.size},
                            {"mode", m_outputs[i]->mode()},
                            {"sha256", digests()[i]},
                            {"verified", true}});
    }
    return restored;
}
