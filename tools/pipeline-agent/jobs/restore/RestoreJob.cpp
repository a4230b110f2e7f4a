#include "jobs/restore/RestoreJob.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "base/AgentError.h"
#include "base/Console.h"
#include "base/Counted.h"
#include "base/InputRules.h"
#include "base/Interrupt.h"
#include "base/StandardStreams.h"
#include "jobs/restore/FilesTarget.h"
#include "jobs/restore/RestoreRequests.h"
#include "jobs/restore/RestoreSource.h"
#include "jobs/restore/RestoreTarget.h"
#include "jobs/restore/StandardOutputTarget.h"
#include "jobs/restore/TreeTarget.h"
#include "keys/JobKeys.h"
#include "manifest/Manifest.h"
#include "outputs/PartialOutputs.h"
#include "platform/local/Config.h"
#include "platform/local/StepHooks.h"
#include "platform/local/StoreSession.h"
#include "report/JobReport.h"
#include "session/JobIds.h"

namespace {

// The most outputs a restore of a set of files holds open at once; a larger
// set is restored as a tree is.
constexpr std::size_t kOutputsAtOnce = 256;

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


// Where the outputs go: standard output for `--output -`; a tree, and a set
// of more files than may be open at once, through one hidden directory, each
// file open only while it is written; a smaller set of files keeps an
// unnamed file open for each until all matched.
std::unique_ptr<RestoreTarget> restoreTarget(const RestoreOptions& options,
                                             const Manifest& manifest, bool json) {
    if (options.output == "-") {
        return std::make_unique<StandardOutputTarget>(options, manifest, json);
    }
    const bool manyFiles = options.file.empty() && manifest.files.size() > kOutputsAtOnce;
    if (holdsTree(manifest) || manyFiles) return std::make_unique<TreeTarget>(options, manifest);
    return std::make_unique<FilesTarget>(options, manifest);
}

// Every place the restore writes, checked before the store is touched: the
// trace's, then that none lies in a store, then what exists at the outputs'.
void requirePlaces(RestoreTarget& target, const std::string& trace,
                   const localplatform::Config& config) {
    if (!trace.empty()) {
        requireNewFilePlace(trace, "trace", false);
        if (target.writesAt(trace)) {
            throw badInput("the trace and an output cannot both be " + trace);
        }
    }
    const std::string store = localplatform::configuredStoreDirectory(config);
    target.requireOutsideStores(store);
    if (!trace.empty()) requireOutsideStores(trace, "trace", store);
    target.examinePlaces();
}

// Where the restore records its hidden partial outputs: the store's
// directory for them, when this host may write there; else nowhere.
std::string partialRecordDirectory() {
    if (::access(localplatform::storeHostDirectory().c_str(), W_OK) != 0) return "";
    return partialOutputDirectory();
}

// What the target opens once the job is held, for as long as this lives:
// let go (what was not committed removed) before the job's hold is.
class OpenOutputs {
public:
    OpenOutputs(RestoreTarget& target, const std::string& recordDirectory) : m_target(target) {
        try {
            target.open(recordDirectory);
        } catch (...) {
            target.close();
            throw;
        }
    }
    ~OpenOutputs() { m_target.close(); }
    OpenOutputs(const OpenOutputs&) = delete;
    OpenOutputs& operator=(const OpenOutputs&) = delete;

private:
    RestoreTarget& m_target;
};

}  // namespace

std::string partialOutputDirectory() {
    return localplatform::storeHostDirectory() + "/partial";
}

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
    const std::vector<std::optional<JobStages>> stages = chainStagesOf(manifest, options.key);
    // Which files, and where each goes.
    const std::unique_ptr<RestoreTarget> target =
        restoreTarget(options, manifest, json.enabled());
    requirePlaces(*target, options.trace, config);
    const auto hold =
        openJobForRestore(manifest, target->needed(), asked.job == 0, options.manifest, config);
    const OpenOutputs outputs(*target, partialRecordDirectory());
    beginRestoreReport(json, restoreJobId, options.manifest, manifest.archives.size());

    // A job that refers to others reads their streams too.
    std::size_t streams = manifest.archives.size();
    for (const ManifestReference& reference : manifest.references) {
        streams = std::max(streams, reference.archives.size());
    }
    localplatform::setCurrentJob(restoreJobId);
    say("restoring %s over %s as job %llu from %s", target->summary().c_str(),
        counted(streams, "stream").c_str(), restoreJobId,
        localplatform::storeDirectory().c_str());
    JobReport report(
        {JobKind::Restore, restoreJobId, streams, target->bytes(), true, options.rateLimit},
        progressShown().load(), stderrProgress(config), options.trace);
    target->prepare();
    readRequests(*target, restoreJobId, manifest, config, report, stages);
    localplatform::crashPoint("output checked");
    const nlohmann::ordered_json restored = target->commit();
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
    json.add({{"bytes", target->bytes()},
              {"seconds", std::round(seconds.count() * 1000) / 1000},
              {"outputs", restored}});
    report.finish();
}
