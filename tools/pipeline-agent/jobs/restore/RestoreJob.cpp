#include "jobs/restore/RestoreJob.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "base/AgentError.h"
#include "base/InputRules.h"
#include "base/Counted.h"
#include "base/Interrupt.h"
#include "base/Console.h"
#include "base/RelativePath.h"
#include "base/StandardStreams.h"
#include "session/JobIds.h"
#include "session/StoreSession.h"
#include "jobs/restore/RestorableArchives.h"
#include "jobs/restore/RestoreSource.h"
#include "manifest/Manifest.h"
#include "outputs/OutputFile.h"
#include "outputs/PartialOutputs.h"
#include "outputs/TreeOutput.h"
#include "platform/local/LocalPlatform.h"
#include "report/JobReport.h"
#include "restore/RestorePipelineSetup.h"
#include "streams/FileDigest.h"
#include "streams/RestoreStreams.h"
#include "streams/StripeReader.h"

namespace {

// Ends the restore on the media side however the job ends.
class RestoreSession {
public:
    explicit RestoreSession(RestorePipelineSetup& restore) : m_restore(restore) {}
    ~RestoreSession() {
        if (!m_ended) end();
    }
    RestoreSession(const RestoreSession&) = delete;
    RestoreSession& operator=(const RestoreSession&) = delete;

    // Closes the streams and shuts the restore down; false when a close failed.
    bool end() {
        m_ended = true;
        const bool closed = m_restore.closePipeline();
        m_restore.shutDownPipeline();
        return closed;
    }

private:
    RestorePipelineSetup& m_restore;
    bool m_ended = false;
};

bool isDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The list for the request that restores one file: the set's archive files,
// always the same, each sought to the file's part in it. readAll asks the
// media side to stream on to the end of each archive file.
std::vector<RestoreArchiveInfo> requestList(const ManifestFile& file, bool readAll) {
    std::vector<RestoreArchiveInfo> list;
    for (const ManifestShare& share : file.shares) {
        RestoreArchiveInfo info;
        info.trellanId = share.archive.trellanId;
        info.archiveObjectParam = static_cast<int64_t>(share.archive.stream);
        info.afileId = share.archive.afileId;
        info.groupNumber = share.archive.groupNumber;
        info.seekOffset = share.seekOffset;
        info.readAll = readAll;
        list.push_back(info);
    }
    return list;
}

// `--output -` takes one stream input, with standard output to itself.
// Sets restore up for list. A setup that fails stops the job with why: an
// archive file the store lacks or cannot give (store damage), or else the
// request for what failed.
void setUpRequest(RestorePipelineSetup& restore, std::vector<RestoreArchiveInfo> list,
                  JobReport& report, const Manifest& manifest,
                  const localplatform::Config& config, const std::string& what) {
    restore.setRestoreArchiveFileInfoList(std::move(list));
    report.library().restoreSetUp();
    const bool setUp = restore.setupPipeline();
    report.library().callEnded();
    if (!setUp) {
        requireRestorableArchives(
            manifest, config.storeDir.empty() ? localplatform::storeDirectory() : config.storeDir);
        throw jobFailed("setting up the restore request for " + what + " failed");
    }
}

void checkStandardOutput(const RestoreOptions& options,
                         const std::vector<const ManifestFile*>& files, bool json) {
    if (files.size() != 1) {
        throw badInput("--output - writes one input; name it with --file");
    }
    if (!files[0]->isStream()) {
        throw badInput(files[0]->name +
                       " is a file, not a stream input; --output - takes a stream input only, "
                       "restore a file to a path");
    }
    if (json) {
        throw badInput("--json prints on standard output, which --output - takes for the data");
    }
    if (options.replace) throw badInput("--force has nothing to replace with --output -");
    if (::isatty(STDOUT_FILENO)) {
        throw badInput("standard output is a terminal; pipe or redirect --output -");
    }
}

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

TreeOutputEntry::Kind outputKind(ManifestFile::Kind kind) {
    switch (kind) {
    case ManifestFile::Kind::Directory: return TreeOutputEntry::Kind::Directory;
    case ManifestFile::Kind::Symlink: return TreeOutputEntry::Kind::Symlink;
    default: return TreeOutputEntry::Kind::File;
    }
}

// The restore's document, and what a signal does to it: a restore has
// nothing of the store's to undo, so it only removes its own partial outputs
// and ends.
void beginRestoreReport(JsonReport& json, unsigned long long restoreJobId,
                        const std::string& manifestPath, std::size_t streams) {
    json.add({{"jobId", restoreJobId},
              {"store", localplatform::storeDirectory()},
              {"log", localplatform::logFilePath()},
              {"manifest", manifestPath},
              {"streams", streams}});
    onInterrupt([&json](int signal) {
        discardPartialOutputs();
        dropLiveLine();
        std::fprintf(stderr, "pipeline-agent: nothing was restored\n");
        std::fflush(stderr);
        json.printFailure("interrupted by " + signalName(signal) + "; nothing was restored",
                          128 + signal, localplatform::logFilePath());
        _exit(128 + signal);
    });
}

// A set that holds a tree, restored into the directory options.output (see
// TreeOutput): the chosen entries and the directories above them. The
// files are read in runs of consecutive files, one restore request a run
// (one for a whole set), each stream reading its shares of the run in turn.
// A stream input of the set is restored into the directory as a file, after
// the tree, and appears just after it.
// restoreJobId names the job and its log (config's); givenAlone: the
// manifest is the user's, to be checked against the store's copy.
void restoreTree(const RestoreOptions& options, const Manifest& manifest, bool givenAlone,
                 const JobStages* stages, unsigned long long restoreJobId,
                 const localplatform::Config& config, JsonReport& json,
                 std::chrono::steady_clock::time_point started) {
    const std::vector<ManifestFile>& all = manifest.files;
    std::vector<bool> chosen(all.size(), options.file.empty());
    if (!options.file.empty()) {
        std::string wanted = options.file;
        while (wanted.size() > 1 && wanted.back() == '/') wanted.pop_back();
        bool any = false;
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (pathWithin(all[i].name, wanted)) chosen[i] = any = true;
        }
        if (!any) {
            throw badInput("manifest " + options.manifest + " holds no file or directory named " +
                           printablePath(options.file));
        }
        // And the directories above what was chosen, which the manifest
        // records before it.
        std::map<std::string, std::size_t> index;
        for (std::size_t i = 0; i < all.size(); ++i) index.emplace(all[i].name, i);
        for (std::size_t i = all.size(); i-- > 0;) {
            if (!chosen[i]) continue;
            const auto parent = index.find(parentPath(all[i].name));
            if (parent != index.end()) chosen[parent->second] = true;
        }
    }
    if (!isDirectory(options.output)) {
        throw badInput("the set holds a tree; --output " + options.output +
                       " must be an existing directory");
    }
    if (options.namedTemporary) {
        throw badInput("--named-temporary is for sets without a tree");
    }
    // What goes where: the tree's entries through its hidden directory, a
    // stream input as a file of its name.
    std::vector<TreeOutputEntry> entries;
    std::vector<std::size_t> entryOf(all.size(), SIZE_MAX);
    std::vector<std::size_t> pipeInputs;
    std::vector<std::string> streamPaths;
    uint64_t total = 0;
    std::size_t fileCount = 0, directoryCount = 0, linkCount = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (!chosen[i]) continue;
        const ManifestFile& f = all[i];
        if (f.isStream()) {
            pipeInputs.push_back(i);
            streamPaths.push_back(options.output + "/" + f.name);
            requireNewFilePlace(streamPaths.back(), "output", options.replace);
            total += f.size;
            continue;
        }
        TreeOutputEntry entry;
        entry.kind = outputKind(f.kind);
        entry.path = f.name;
        entry.mode = f.mode;
        entry.hasMtime = f.hasMtime;
        entry.mtime = f.mtime;
        entry.size = f.size;
        entry.target = f.target;
        entryOf[i] = entries.size();
        entries.push_back(entry);
        total += f.size;
        fileCount += f.isFile() ? 1 : 0;
        directoryCount += f.kind == ManifestFile::Kind::Directory ? 1 : 0;
        linkCount += f.kind == ManifestFile::Kind::Symlink ? 1 : 0;
    }
    if (!options.trace.empty()) {
        requireNewFilePlace(options.trace, "trace", false);
        if (pathWithin(options.trace, options.output)) {
            // A trace written into the output could meet one of its entries.
            for (const TreeOutputEntry& entry : entries) {
                if (samePlace(options.trace, options.output + "/" + entry.path)) {
                    throw badInput("the trace and an output cannot both be " + options.trace);
                }
            }
        }
    }
    const std::string store = localplatform::configuredStoreDirectory(config);
    requireOutsideStores(options.output, "output", store);
    if (!options.trace.empty()) requireOutsideStores(options.trace, "trace", store);
    // Every path against the output directory, before anything is made.
    TreeOutput tree(options.output, entries, TreeOutput::Options{options.replace, ""});
    std::vector<const ManifestFile*> needed;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (chosen[i]) needed.push_back(&all[i]);
    }
    const auto hold = openJobForRestore(manifest, needed, givenAlone, options.manifest, config);
    std::string recordDirectory;
    if (::access(localplatform::storeHostDirectory().c_str(), W_OK) == 0) {
        recordDirectory = partialOutputDirectory();
    }
    tree.setRecordDirectory(recordDirectory);
    std::vector<std::unique_ptr<OutputFile>> streamOutputs;
    for (std::size_t s = 0; s < pipeInputs.size(); ++s) {
        OutputFile::Options these;
        these.replace = options.replace;
        these.recordDirectory = recordDirectory;
        these.mode = all[pipeInputs[s]].mode;
        streamOutputs.push_back(std::make_unique<OutputFile>(streamPaths[s], these));
    }
    beginRestoreReport(json, restoreJobId, options.manifest, manifest.archives.size());
    localplatform::setCurrentJob(restoreJobId);
    const std::string contents = counted(fileCount, "file") + ", " +
                                 counted(directoryCount, "directory", "directories") + " and " +
                                 counted(linkCount, "link");
    say("restoring %s (%llu bytes)%s over %s as job %llu from %s", contents.c_str(),
        static_cast<unsigned long long>(total), pipeInputs.empty() ? "" : " and a stream input",
        counted(manifest.archives.size(), "stream").c_str(), restoreJobId,
        localplatform::storeDirectory().c_str());

    // The runs: chosen files with data, consecutive in the set.
    std::vector<std::vector<std::size_t>> runs;
    bool inRun = false;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (!all[i].isFile() || all[i].size == 0) continue;
        if (!chosen[i]) {
            inRun = false;
            continue;
        }
        if (!inRun) runs.emplace_back();
        runs.back().push_back(i);
        inRun = true;
    }
    JobReport report({JobKind::Restore, restoreJobId, manifest.archives.size(), total},
                     progressShown().load(), stderrProgress(config), options.trace);
    tree.prepare();
    RestorePipelineSetup restore(restoreJobId, 0);
    RestoreSession session(restore);
    const auto request = [&](const ManifestFile& first, const std::string& what) {
        setUpRequest(restore, requestList(first, false), report, manifest, config, what);
    };
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const std::vector<std::size_t>& run = runs[r];
        std::vector<const ManifestFile*> files;
        std::vector<std::size_t> outputs;
        for (std::size_t i : run) {
            files.push_back(&all[i]);
            outputs.push_back(entryOf[i]);
        }
        const std::string what = run.size() == 1 ? printablePath(all[run[0]].name)
                                                 : std::to_string(run.size()) + " files from " +
                                                       printablePath(all[run.front()].name) +
                                                       " to " + printablePath(all[run.back()].name);
        say("request %zu of %zu (%s): setting up %s", r + 1, runs.size(), what.c_str(),
            counted(manifest.archives.size(), "stream").c_str());
        request(all[run[0]], what);
        TreeRunOutputs sink(tree, outputs);
        readRunShares(restore.getStreamPipeinfoMap(), files, sink, &report.phases(), stages);
        say("request %zu of %zu: read all its shares, checksums match", r + 1, runs.size());
    }
    for (std::size_t s = 0; s < pipeInputs.size(); ++s) {
        const ManifestFile& file = all[pipeInputs[s]];
        request(file, file.name);
        StripesToFile sink(*streamOutputs[s], file);
        readStripedShares(restore.getStreamPipeinfoMap(), file, sink, &report.phases(), stages);
        requireFileDigest(file, sink.digest());
        say("%s: read all %zu streams, checksums match", file.name.c_str(), file.shares.size());
    }
    report.library().restoreClose();
    const bool closed = session.end();
    report.library().callEnded();
    report.end();
    if (!closed) say("warning: closing the streams failed");
    localplatform::crashPoint("output checked");
    tree.commit();
    localplatform::crashPoint("output committed");
    for (auto& output : streamOutputs) output->commit();
    say("restored %s into %s: %llu bytes, every checksum verified", contents.c_str(),
        options.output.c_str(), static_cast<unsigned long long>(total));
    nlohmann::ordered_json restored = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (!chosen[i]) continue;
        const ManifestFile& f = all[i];
        const std::string path = options.output + "/" + f.name;
        if (f.kind == ManifestFile::Kind::Directory) {
            restored.push_back(
                {{"name", f.name}, {"path", path}, {"kind", "directory"}, {"mode", f.mode}});
        } else if (f.kind == ManifestFile::Kind::Symlink) {
            restored.push_back(
                {{"name", f.name}, {"path", path}, {"kind", "symlink"}, {"target", f.target}});
        } else {
            restored.push_back({{"name", f.name},
                                {"path", path},
                                {"size", f.size},
                                {"mode", f.mode},
                                {"sha256", f.sha256},
                                {"verified", true}});
        }
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
    json.add({{"bytes", total},
              {"seconds", std::round(seconds.count() * 1000) / 1000},
              {"outputs", restored}});
    report.finish();
}

}  // namespace

// The most outputs a restore of a set of files holds open at once; a larger
// set is restored as a tree is.
constexpr std::size_t kOutputsAtOnce = 256;

std::string partialOutputDirectory() {
    return localplatform::storeHostDirectory() + "/partial";
}

namespace {

// What a manifest of format 4 says its bytes went through, with the data key
// of an encrypted job; nullopt for the bytes stored as they are.
std::optional<JobStages> stagesOf(const Manifest& manifest, const KeySource& key) {
    if (!manifest.stages.framed) {
        if (!key.keyFile.empty()) {
            throw badInput("job " + std::to_string(manifest.jobId) +
                           " is not encrypted; --key-file is for an encrypted job");
        }
        return std::nullopt;
    }
    JobStages stages;
    stages.codec = manifest.stages.codec;
    stages.level = manifest.stages.level;
    stages.frameSize = static_cast<std::size_t>(manifest.stages.frameSize);
    stages.jobId = manifest.jobId;
    if (manifest.stages.encrypted()) stages.key = jobDataKey(manifest, key);
    return stages;
}

}  // namespace

void runRestore(const RestoreOptions& asked, localplatform::Config config, JsonReport& json) {
    const auto started = std::chrono::steady_clock::now();
    const unsigned long long restoreJobId = newJobId();
    config.storeLogName = std::to_string(restoreJobId);
    RestoreOptions options = asked;
    // Before --job opens the store: the data would go to /dev/null.
    if (options.output == "-" && standardStreamWasClosed(STDOUT_FILENO)) {
        throw badInput("standard output is closed; pipe or redirect --output -");
    }
    const Manifest manifest = manifestToRestore(options, config);
    // An encrypted job's key opens its wrapped data key before anything is
    // made or read.
    const std::optional<JobStages> stages = stagesOf(manifest, options.key);
    const JobStages* framed = stages ? &*stages : nullptr;
    // A tree, and a set of more files than may be open at once, go through
    // one hidden directory, each file open only while it is written; a
    // smaller set of files keeps an unnamed file open for each until all
    // matched.
    const bool manyFiles = options.file.empty() && manifest.files.size() > kOutputsAtOnce;
    if ((holdsTree(manifest) || manyFiles) && options.output != "-") {
        restoreTree(options, manifest, asked.job == 0, framed, restoreJobId, config, json,
                    started);
        return;
    }
    // Which files, and where each goes.
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
    // `--output -`: one stream input, in order, to standard output.
    const bool toStdout = options.output == "-";
    if (toStdout) checkStandardOutput(options, files, json.enabled());
    const bool intoDirectory = !toStdout && isDirectory(options.output);
    if (!intoDirectory && !toStdout && files.size() > 1) {
        throw badInput("the set holds " + std::to_string(files.size()) + " files; --output " +
                       options.output + " must be an existing directory");
    }
    std::vector<std::string> paths;
    for (const ManifestFile* f : files) {
        if (toStdout) {
            paths.push_back("-");
            continue;
        }
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
    if (!options.trace.empty()) {
        requireNewFilePlace(options.trace, "trace", false);
        for (const std::string& path : paths) {
            if (samePlace(path, options.trace)) {
                throw badInput("the trace and an output cannot both be " + options.trace);
            }
        }
    }
    const std::string store = localplatform::configuredStoreDirectory(config);
    if (!toStdout) {
        for (const std::string& path : paths) requireOutsideStores(path, "output", store);
    }
    if (!options.trace.empty()) requireOutsideStores(options.trace, "trace", store);
    const auto hold =
        openJobForRestore(manifest, files, asked.job == 0, options.manifest, config);
    OutputFile::Options outputOptions;
    outputOptions.replace = options.replace;
    outputOptions.namedTemporary = options.namedTemporary;
    if (::access(localplatform::storeHostDirectory().c_str(), W_OK) == 0) {
        outputOptions.recordDirectory = partialOutputDirectory();
    }
    std::vector<std::unique_ptr<OutputFile>> outputs;
    for (std::size_t i = 0; i < files.size() && !toStdout; ++i) {
        OutputFile::Options these = outputOptions;
        these.mode = files[i]->mode;
        outputs.push_back(std::make_unique<OutputFile>(paths[i], these));
    }
    beginRestoreReport(json, restoreJobId, options.manifest, manifest.archives.size());

    localplatform::setCurrentJob(restoreJobId);
    uint64_t total = 0;
    for (const ManifestFile* f : files) total += f->size;
    say("restoring %zu file%s (%llu bytes) over %zu stream%s as job %llu from %s", files.size(),
        files.size() == 1 ? "" : "s", static_cast<unsigned long long>(total),
        manifest.archives.size(), manifest.archives.size() == 1 ? "" : "s", restoreJobId,
        localplatform::storeDirectory().c_str());

    // A whole set of the first format is read to the end of its archive
    // files, as that format's restores always did; every other request asks
    // for exactly the parts it reads.
    const bool readAll = manifest.version == 1 && options.file.empty();
    JobReport report({JobKind::Restore, restoreJobId, manifest.archives.size(), total},
                     progressShown().load(), stderrProgress(config), options.trace);
    std::vector<std::string> digests(files.size());  // as computed from the bytes restored
    RestorePipelineSetup restore(restoreJobId, 0);
    RestoreSession session(restore);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const ManifestFile& file = *files[i];
        say("file %zu of %zu (%s): setting up %zu stream%s", i + 1, files.size(),
            file.name.c_str(), file.shares.size(), file.shares.size() == 1 ? "" : "s");
        setUpRequest(restore, requestList(file, readAll), report, manifest, config, file.name);
        if (toStdout) {
            StripesInOrder sink(STDOUT_FILENO, file);
            readStripedShares(restore.getStreamPipeinfoMap(), file, sink, &report.phases(),
                              framed);
            digests[i] = sink.digest();
            requireFileDigest(file, digests[i]);
        } else if (file.isStream()) {
            StripesToFile sink(*outputs[i], file);
            readStripedShares(restore.getStreamPipeinfoMap(), file, sink, &report.phases(),
                              framed);
            digests[i] = sink.digest();
            requireFileDigest(file, digests[i]);
        } else {
            digests[i] = readFileShares(restore.getStreamPipeinfoMap(), file, *outputs[i],
                                        &report.phases(), framed);
        }
        say("file %zu of %zu (%s): read all %zu stream%s, checksums match", i + 1,
            files.size(), file.name.c_str(), file.shares.size(),
            file.shares.size() == 1 ? "" : "s");
    }
    report.library().restoreClose();
    const bool closed = session.end();
    report.library().callEnded();
    report.end();
    if (!closed) say("warning: closing the streams failed");
    localplatform::crashPoint("output checked");
    nlohmann::ordered_json restored = nlohmann::ordered_json::array();
    if (toStdout) {
        say("restored %s to standard output: %llu bytes, every stripe verified",
            files[0]->name.c_str(), static_cast<unsigned long long>(files[0]->size));
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        outputs[i]->commit();
        localplatform::crashPoint("output committed");
        say("restored %s: %llu bytes, checksum verified", paths[i].c_str(),
            static_cast<unsigned long long>(files[i]->size));
        // The file's digest was taken from the bytes restored and matched
        // the manifest's.
        restored.push_back({{"name", files[i]->name},
                            {"path", paths[i]},
                            {"size", files[i]->size},
                            {"mode", outputs[i]->mode()},
                            {"sha256", digests[i]},
                            {"verified", true}});
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
    json.add({{"bytes", total},
              {"seconds", std::round(seconds.count() * 1000) / 1000},
              {"outputs", restored}});

    report.finish();
}
