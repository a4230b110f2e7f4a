// The catalog's share of backups: identity allocation and job bookkeeping
// by many agents at once, and the bookkeeping's share of a 4-stream job.
// Not a test: prints figures.
//
//   catalog_bench [--agents N] [--jobs N] [--mib N] [--catalog CONNINFO] DIR
//
// Bookkeeping: N agent processes (fork) share one store in DIR/store-*, each
// running --jobs jobs of 4 archive files: beginJob, 4 creations (an id each),
// 4 closes, completeJob, with no data, as fast as they can. Then one job of
// 4 streams that write --mib MiB each from 4 threads, timing the platform's
// bookkeeping calls apart from the writes. With --catalog the stores keep
// their catalog in PostgreSQL, else in SQLite.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/ZebArchive.h"
#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreSession.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kStreams = 4;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "catalog_bench: %s\n", what);
    std::exit(1);
}

struct Job {
    std::vector<std::unique_ptr<ZebArchive>> archives;
    std::vector<CreateRet_t> created;
};

void createFiles(Job* job) {
    for (unsigned k = 0; k < kStreams; ++k) {
        auto archive = std::make_unique<ZebArchive>(nullptr, true, nullptr);
        SetupPipelineArgs_t setup;
        setup.recordKind = 1;
        setup.pipelineKind = 4;
        if (archive->setupPipeline(&setup, "", nullptr) != 0) die("setupPipeline failed");
        CreateArgs_t args;
        CreateRet_t created;
        if (archive->createArchiveFile(&args, &created) != 0) die("createArchiveFile failed");
        job->archives.push_back(std::move(archive));
        job->created.push_back(created);
    }
}

void closeFiles(Job* job) {
    for (unsigned k = 0; k < kStreams; ++k) {
        const CreateRet_t& c = job->created[k];
        CloseAfileArgs_t args{c.trellanId, c.groupNumber, c.afileId, 0, 0, 0};
        if (job->archives[k]->closeAfile(&args, nullptr) != 0) die("closeAfile failed");
    }
}

localplatform::Config configFor(const std::string& store, const std::string& catalog) {
    localplatform::Config config;
    config.storeDir = store;
    config.catalog = catalog;
    config.logLevel = -1;  // errors only
    config.logFile = store + ".log";
    config.skipPauses = true;
    return config;
}

// One agent's share of the bookkeeping run; exits the child.
[[noreturn]] void agent(const std::string& store, const std::string& catalog, unsigned index,
                        unsigned jobs) {
    localplatform::Config config = configFor(store, catalog);
    localplatform::openStore(config, localplatform::Access::ReadWrite, true);
    for (unsigned j = 0; j < jobs; ++j) {
        const unsigned long long id = 1000000ULL * (index + 1) + j;
        localplatform::setCurrentJob(id);
        localplatform::beginJob(id);
        Job job;
        createFiles(&job);
        closeFiles(&job);
        localplatform::completeJob(id);
    }
    localplatform::closeStore();
    std::_Exit(0);
}

void bookkeeping(const std::string& store, const std::string& catalog, unsigned agents,
                 unsigned jobs) {
    {  // made once, before the agents race
        localplatform::openStore(configFor(store, catalog), localplatform::Access::ReadWrite, true);
        localplatform::closeStore();
    }
    const auto start = Clock::now();
    std::vector<pid_t> children;
    for (unsigned i = 0; i < agents; ++i) {
        const pid_t pid = ::fork();
        if (pid < 0) die("cannot fork");
        if (pid == 0) agent(store, catalog, i, jobs);
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            die("an agent failed; see the store's log");
        }
    }
    const double elapsed = secondsSince(start);
    localplatform::openStore(configFor(store, catalog), localplatform::Access::ReadOnly, false);
    const auto files = localplatform::listArchiveFiles();
    localplatform::closeStore();
    std::vector<uint32_t> ids;
    for (const auto& file : files) ids.push_back(file.afileId);
    std::sort(ids.begin(), ids.end());
    const bool unique = std::adjacent_find(ids.begin(), ids.end()) == ids.end();
    const double total = static_cast<double>(agents) * jobs;
    std::printf(
        "%u agents x %u jobs of %u files: %.2f s; %.0f ids/s, %.0f jobs/s, %.2f ms a job "
        "per agent; %zu files, ids %s\n",
        agents, jobs, kStreams, elapsed, total * kStreams / elapsed, total / elapsed,
        1000.0 * elapsed / jobs, files.size(), unique ? "unique" : "REPEATED");
    if (!unique || files.size() != total * kStreams) die("identities are not what they should be");
}

void oneJob(const std::string& store, const std::string& catalog, unsigned mib) {
    localplatform::openStore(configFor(store, catalog), localplatform::Access::ReadWrite, true);
    const unsigned long long id = 42;
    const auto start = Clock::now();
    localplatform::setCurrentJob(id);
    localplatform::beginJob(id);
    Job job;
    createFiles(&job);
    const double setUp = secondsSince(start);
    const auto writing = Clock::now();
    std::vector<std::thread> writers;
    std::atomic<bool> failed{false};
    for (unsigned k = 0; k < kStreams; ++k) {
        writers.emplace_back([&, k] {
            std::string chunk(1 << 20, static_cast<char>('a' + k));
            std::string error;
            for (unsigned m = 0; m < mib; ++m) {
                if (!localplatform::writeStream(id, job.created[k].groupNumber, chunk.data(),
                                                chunk.size(), &error)) {
                    failed = true;
                    return;
                }
            }
        });
    }
    for (auto& writer : writers) writer.join();
    if (failed) die("a stream's write failed");
    const double writes = secondsSince(writing);
    const auto closing = Clock::now();
    closeFiles(&job);  // syncs each file's data: the disk's, not the catalog's
    const double closes = secondsSince(closing);
    const auto completing = Clock::now();
    localplatform::completeJob(id);
    const double complete = secondsSince(completing);
    const double total = secondsSince(start);
    localplatform::closeStore();
    const double bookkeeping = setUp + complete;
    std::printf(
        "one job of %u streams x %u MiB: %.3f s; begin + creations %.1f ms, writes %.3f s, "
        "closes (with fsync) %.1f ms, completion %.1f ms; begin + creations + completion "
        "%.2f%% of the job\n",
        kStreams, mib, total, 1000 * setUp, writes, 1000 * closes, 1000 * complete,
        100.0 * bookkeeping / total);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned agents = 16, jobs = 25, mib = 64;
    std::string catalog, dir;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto next = [&]() -> std::string {
            if (i + 1 >= argc) die(("missing value after " + arg).c_str());
            return argv[++i];
        };
        if (arg == "--agents")
            agents = static_cast<unsigned>(std::stoul(next()));
        else if (arg == "--jobs")
            jobs = static_cast<unsigned>(std::stoul(next()));
        else if (arg == "--mib")
            mib = static_cast<unsigned>(std::stoul(next()));
        else if (arg == "--catalog")
            catalog = next();
        else if (dir.empty() && arg[0] != '-')
            dir = arg;
        else
            die(("unknown argument " + arg).c_str());
    }
    if (dir.empty() || agents == 0 || jobs == 0) {
        die("usage: catalog_bench [--agents N] [--jobs N] [--mib N] [--catalog CONNINFO] DIR");
    }
    std::filesystem::create_directories(dir);
    const std::string tag = std::to_string(::getpid());
    std::printf("catalog: %s\n", catalog.empty() ? "SQLite" : "PostgreSQL");
    bookkeeping(dir + "/store-many-" + tag, catalog, agents, jobs);
    oneJob(dir + "/store-one-" + tag, catalog, mib);
    return 0;
}
