// demo: a sample database and an export of it, backed up as a set over
// parallel streams, restored and compared (the README's quick start).

#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/AgentError.h"
#include "base/Console.h"
#include "base/Sha256.h"
#include "commands/Command.h"
#include "commands/NumberOptions.h"
#include "commands/SampleDatabase.h"
#include "jobs/backup/BackupJob.h"
#include "jobs/restore/RestoreJob.h"
#include "report/TimelineSvg.h"

namespace {

struct DemoOptions {
    std::string dir = "pipeline-demo";
    uint64_t sizeMiB = 4;
    unsigned long streams = 3;
};

void removeIfPresent(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw badInput("cannot remove the earlier " + path);
    }
}

void runDemo(const DemoOptions& options, localplatform::Config config, JsonReport& report) {
    if (::mkdir(options.dir.c_str(), 0777) != 0 && errno != EEXIST) {
        throw badInput("cannot create the demo directory " + options.dir);
    }
    if (config.storeDir.empty()) config.storeDir = options.dir + "/store";
    const std::string sample = options.dir + "/sample.db";
    const std::string orders = options.dir + "/sample.orders.csv";
    const std::string manifest = options.dir + "/sample.manifest.json";
    const std::string restoredDir = options.dir + "/restored";
    const std::string restored = restoredDir + "/sample.db";
    const std::string restoredOrders = restoredDir + "/sample.orders.csv";
    const std::string backupTrace = options.dir + "/backup.trace.json";
    const std::string restoreTrace = options.dir + "/restore.trace.json";
    const std::string backupSvg = options.dir + "/backup.timeline.svg";
    const std::string restoreSvg = options.dir + "/restore.timeline.svg";
    for (const std::string& path : {sample, orders, manifest, restored, restoredOrders, backupTrace,
                                    restoreTrace, backupSvg, restoreSvg}) {
        removeIfPresent(path);
    }
    if (::mkdir(restoredDir.c_str(), 0777) != 0 && errno != EEXIST) {
        throw badInput("cannot create the demo directory " + restoredDir);
    }

    const unsigned long long rows = makeSampleDatabase(sample, options.sizeMiB << 20);
    say("demo: made sample database %s with %llu orders", sample.c_str(), rows);
    const uint64_t exported = exportSampleOrders(sample, orders);
    say("demo: exported its orders to %s (%llu bytes)", orders.c_str(),
        static_cast<unsigned long long>(exported));
    // Nothing writes the sample database while it is backed up, so its plain
    // bytes are one committed state, and the restore can be compared byte
    // for byte.
    BackupOptions backup;
    backup.inputs = {sample, orders};
    backup.manifest = manifest;
    backup.streams = options.streams;
    backup.trace = backupTrace;
    backup.raw = true;
    runBackup(backup, config, report);
    // One restore request per file on the same archive files: the second
    // only seeks each stream to that file's parts (look for the
    // FSR_MSG_SEEK_TO_OFFSET lines in the restore's log, or run with -v).
    RestoreOptions restore;
    restore.manifest = manifest;
    restore.output = restoredDir;
    restore.trace = restoreTrace;
    runRestore(restore, config, report);
    drawTimeline(backupTrace, backupSvg);
    drawTimeline(restoreTrace, restoreSvg);

    if (sha256OfFile(sample) != sha256OfFile(restored) ||
        sha256OfFile(orders) != sha256OfFile(restoredOrders)) {
        throw jobFailed("demo: the restored files differ from the originals");
    }
    const unsigned long long rowsBack = checkSampleDatabase(restored);
    if (rowsBack != rows) throw jobFailed("demo: the restored database lost orders");
    std::printf("demo: %s and %s restored byte for byte into %s (%llu orders, integrity ok)\n",
                sample.c_str(), orders.c_str(), restoredDir.c_str(), rowsBack);
    std::printf(
        "demo: what each stream did when: %s and %s (open them in Perfetto or "
        "chrome://tracing), drawn as %s and %s\n",
        backupTrace.c_str(), restoreTrace.c_str(), backupSvg.c_str(), restoreSvg.c_str());
}

}  // namespace

Command demoCommand() {
    Command command;
    command.name = "demo";
    command.description =
        "make a sample database and an export of it, back both up over 3 streams, restore and "
        "compare them";
    command.json = false;
    command.define = [](CLI::App& app) -> CommandRun {
        auto demo = std::make_shared<DemoOptions>();
        app.add_option("--dir", demo->dir, "where the demo's files go")->capture_default_str();
        addUnsignedNumber(&app, "--size-mib", demo->sizeMiB, 1, 1 << 20,
                          "size of the sample database in MiB, 1 to 1048576 (default 4)");
        addNumber(&app, "--streams", demo->streams, 1, kMaxStreams,
                  "number of streams, 1 to 65 (default 3)");
        return [demo](localplatform::Config config, JsonReport& report) {
            runDemo(*demo, std::move(config), report);
        };
    };
    return command;
}
