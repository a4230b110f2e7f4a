#include "jobs/restore/NamedFilesTarget.h"

#include "base/AgentError.h"
#include "base/Console.h"

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
      m_readAll(manifest.version == 1 && options.file.empty()),
      m_digests(m_files.size()) {
    for (const ManifestFile* f : m_files) m_bytes += f->size;
}

std::string NamedFilesTarget::summary() const {
    return std::to_string(m_files.size()) + " file" + (m_files.size() == 1 ? "" : "s") + " (" +
           std::to_string(m_bytes) + " bytes)";
}

RestoreRequest NamedFilesTarget::beginRequest(std::size_t i) {
    const ManifestFile& file = *m_files[i];
    say("file %zu of %zu (%s): setting up %zu stream%s", i + 1, m_files.size(), file.name.c_str(),
        file.shares.size(), file.shares.size() == 1 ? "" : "s");
    return RestoreRequest{&file, m_readAll, file.name};
}

void NamedFilesTarget::readRequest(std::size_t i, const RequestStreams& streams) {
    const ManifestFile& file = *m_files[i];
    m_digests[i] = readFile(i, streams);
    say("file %zu of %zu (%s): read all %zu stream%s, checksums match", i + 1, m_files.size(),
        file.name.c_str(), file.shares.size(), file.shares.size() == 1 ? "" : "s");
}
