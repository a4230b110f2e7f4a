#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "LocalFixture.h"

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"
#include "platform/local/Maintenance.h"
#include "platform/local/StoreSession.h"

using localplatform::ArchiveFileRecord;
using localplatform::StoreError;
using LocalStoreTest = LocalPlatformTest;
namespace fs = std::filesystem;

namespace {

bool contains(const std::vector<std::string>& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(part) != std::string::npos;
    });
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// Every regular file under dir, by its path relative to dir, with its bytes.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            std::ifstream file(entry.path(), std::ios::binary);
            files[fs::relative(entry.path(), dir).string()] =
                std::string(std::istreambuf_iterator<char>(file), {});
        }
    }
    return files;
}

// The archive files (N.arch) of a snapshot.
std::map<std::string, std::string> archives(const std::map<std::string, std::string>& files) {
    std::map<std::string, std::string> found;
    for (const auto& [path, bytes] : files) {
        if (path.size() > 5 && path.substr(path.size() - 5) == ".arch") found[path] = bytes;
    }
    return found;
}

}  // namespace

class LocalStorePlacesTest : public LocalPlatformTest {
protected:
    // A complete job of two files, and a job that failed with one closed file.
    void backUpTwoJobs() {
        useJob(config.jobId * 10 + 1);
        completeJobId = config.jobId;
        completed = {backup(bytes(1500)), backup("second")};
        localplatform::completeJob(config.jobId);
        useJob(config.jobId + 1);
        failed = backup("failed");
        localplatform::failJob(config.jobId);
    }

    int restorable(const ArchiveFileId_t& id) {
        int result = -1;
        auto archive = open(id, &result);
        return result;
    }

    void openAt(const std::string& storeDir) {
        config.storeDir = storeDir;
        localplatform::openStore(config, localplatform::Access::ReadWrite, false);
    }

    std::vector<ArchiveFileId_t> completed;
    unsigned long long completeJobId = 0;
    ArchiveFileId_t failed{};
};

TEST_F(LocalStorePlacesTest, ARelativeStorePathIsResolvedOnceAtOpen) {
    const std::string cwd = fs::current_path().string();
    fs::current_path(dir());
    openAt("store");
    EXPECT_EQ(localplatform::storeDirectory(), fs::canonical(dir() + "/store").string());
    fs::create_directories(dir() + "/elsewhere");
    fs::current_path(dir() + "/elsewhere");
    backUpTwoJobs();  // from another working directory
    EXPECT_EQ(restorable(completed[0]), 0);
    ArchiveFileRecord record;
    ASSERT_TRUE(localplatform::findArchiveFile(completed[0].trellanId, completed[0].groupNumber,
                                               completed[0].afileId, &record));
    EXPECT_EQ(record.path, fs::canonical(dir() + "/store").string() + "/files/" +
                               std::to_string(completed[0].afileId) + ".arch");
    EXPECT_FALSE(fs::exists(dir() + "/elsewhere/files"));
    EXPECT_FALSE(fs::exists(dir() + "/elsewhere/store"));

    // The same relative name here is another store, which knows none of it.
    config.storeDir = "store";
    localplatform::openStore(config, localplatform::Access::ReadWrite, true);
    EXPECT_TRUE(localplatform::listArchiveFiles().empty());
    EXPECT_TRUE(localplatform::cleanup().removed.empty());
    openAt(dir() + "/store");
    EXPECT_EQ(restorable(completed[0]), 0);
    fs::current_path(cwd);
}

TEST_F(LocalStorePlacesTest, AMovedStoreRestores) {
    backUpTwoJobs();
    localplatform::closeStore();
    fs::rename(dir() + "/store", dir() + "/moved");
    openAt(dir() + "/moved");
    for (const ArchiveFileId_t& id : completed) EXPECT_EQ(restorable(id), 0) << log();
    EXPECT_TRUE(localplatform::check(false).problems.empty())
        << joined(localplatform::check(false).problems);
}

TEST_F(LocalStorePlacesTest, ACopiedStoreIsIndependentOfItsOriginal) {
    backUpTwoJobs();
    localplatform::closeStore();
    fs::copy(dir() + "/store", dir() + "/copy", fs::copy_options::recursive);
    const auto original = snapshot(dir() + "/store");

    openAt(dir() + "/copy");
    const auto cleaned = localplatform::cleanup();
    ASSERT_EQ(cleaned.removed.size(), 1u);
    EXPECT_EQ(cleaned.removed[0].afileId, failed.afileId);
    EXPECT_EQ(cleaned.removed[0].path.rfind(fs::canonical(dir() + "/copy").string(), 0), 0u);
    for (const ArchiveFileId_t& id : completed) EXPECT_EQ(restorable(id), 0);

    EXPECT_EQ(archives(snapshot(dir() + "/store")), archives(original));
    openAt(dir() + "/store");
    for (const ArchiveFileId_t& id : completed) EXPECT_EQ(restorable(id), 0);
    EXPECT_TRUE(fs::exists(dir() + "/store/files/" + std::to_string(failed.afileId) + ".arch"));
}

// Lost: deleted, truncated to nothing, or garbage (which must be repaired
// before the store takes new backups).
TEST_F(LocalStorePlacesTest, ALostCatalogNeverLetsANewBackupTouchAnExistingFile) {
    for (const std::string how : {"deleted", "truncated", "garbage"}) {
        SCOPED_TRACE(how);
        if (onPostgres() && how != "deleted") continue;  // the server keeps its own pages whole
        backUpTwoJobs();
        const std::string store = localplatform::storeDirectory();
        localplatform::closeStore();
        const auto before = archives(snapshot(store));
        ASSERT_GE(before.size(), 3u);
        const std::string catalog = store + "/catalog.db";
        if (how == "deleted") loseCatalog(store);
        if (how == "truncated") fs::resize_file(catalog, 0);
        if (how == "garbage") std::ofstream(catalog, std::ios::trunc) << std::string(5000, 'g');
        openAt(store);

        useJob(config.jobId + 1);
        CreateRet_t created;
        if (how == "garbage") {
            auto refused = std::make_unique<ZebArchive>(nullptr, true, nullptr);
            SetupPipelineArgs_t setup;
            setup.recordKind = 1;
            setup.pipelineKind = 4;
            ASSERT_EQ(refused->setupPipeline(&setup, "", nullptr), 0);
            CreateArgs_t args;
            EXPECT_NE(refused->createArchiveFile(&args, &created), 0);
            EXPECT_NE(log().find("file is not a database"), std::string::npos) << log();
            const auto repaired = localplatform::check(true);
            EXPECT_TRUE(contains(repaired.repaired,
                                 "kept the old catalog as " + catalog + ".damaged-"))
                << joined(repaired.repaired);
        }
        std::set<std::string> newFiles;
        for (int i = 0; i < 3; ++i) {
            const ArchiveFileId_t id = backup("new " + std::to_string(i));
            const std::string name = "files/" + std::to_string(id.afileId) + ".arch";
            EXPECT_EQ(before.count(name), 0u) << name;
            newFiles.insert(name);
        }
        localplatform::completeJob(config.jobId);
        const auto after = archives(snapshot(store));
        for (const auto& [path, data] : before) {
            ASSERT_EQ(after.count(path), 1u) << path;
            EXPECT_EQ(sha256Hex(after.at(path)), sha256Hex(data)) << path;
        }
        EXPECT_EQ(after.size(), before.size() + newFiles.size());
        useJob(config.jobId + 1);
    }
}

TEST_F(LocalStorePlacesTest, CheckFindsDamagedMissingExtraAndResizedFiles) {
    backUpTwoJobs();
    useJob(config.jobId + 1);
    const ArchiveFileId_t third = backup("third file");
    const ArchiveFileId_t fourth = backup("fourth file");
    localplatform::completeJob(config.jobId);

    auto healthy = localplatform::check(false);
    EXPECT_TRUE(healthy.problems.empty()) << joined(healthy.problems);
    EXPECT_EQ(healthy.files, 5u);
    EXPECT_EQ(healthy.bytes, 1500u + 6 + 6 + 10 + 11);

    const std::string files = localplatform::storeDirectory() + "/files/";
    const auto path = [&](const ArchiveFileId_t& id) {
        return files + std::to_string(id.afileId) + ".arch";
    };
    {
        std::fstream flip(path(completed[0]), std::ios::in | std::ios::out | std::ios::binary);
        flip.seekp(700);
        flip.put('\x55');
    }
    fs::remove(path(completed[1]));
    std::ofstream(files + "99.arch") << "stray";
    std::ofstream(path(third), std::ios::app) << "+";
    const std::string renamed = files + std::to_string(fourth.afileId) + ".meta";
    fs::rename(renamed, renamed + ".away");

    const auto found = localplatform::check(false).problems;
    EXPECT_TRUE(contains(found, "its data's SHA-256 is ")) << joined(found);
    EXPECT_TRUE(contains(found, "its data file " + path(completed[1]) + " is missing"));
    EXPECT_TRUE(contains(found, files + "99.arch is not in the catalog"));
    EXPECT_TRUE(contains(found, "its data file has 11 bytes; the catalog records 10"));
    EXPECT_TRUE(contains(found, "its description " + renamed + " is missing"));
    EXPECT_TRUE(contains(found, renamed + ".away is neither an archive file nor a description"));
    EXPECT_EQ(found.size(), 6u) << joined(found);
}

TEST_F(LocalStorePlacesTest, ABoundedCheckReadsTheJobsNamedFirstAndNamesThoseReadWhole) {
    backUpTwoJobs();
    useJob(config.jobId + 1);
    const unsigned long long later = config.jobId;
    const ArchiveFileId_t third = backup("third file");
    (void)backup("fourth file");
    localplatform::completeJob(later);
    const std::string thirdPath =
        localplatform::storeDirectory() + "/files/" + std::to_string(third.afileId) + ".arch";

    localplatform::CheckLimits limits;
    limits.maxBytes = 21;
    limits.readFirst = {later, 424242, later};
    std::vector<std::string> read;
    limits.progress = [&read](unsigned long long, const std::string& file) {
        if (read.empty() || read.back() != file) read.push_back(file);
    };
    auto bounded = localplatform::check(false, limits);
    EXPECT_TRUE(bounded.problems.empty()) << joined(bounded.problems);
    EXPECT_EQ(bounded.bytes, 21u);
    ASSERT_FALSE(read.empty());
    EXPECT_EQ(read.front(), thirdPath);
    EXPECT_EQ(bounded.jobsRead, std::vector<unsigned long long>{later});
    EXPECT_EQ(bounded.unverified.size(), 3u) << joined(bounded.unverified);

    // Half a job read is no job read; a failed job never counts.
    limits.maxBytes = 10;
    EXPECT_TRUE(localplatform::check(false, limits).jobsRead.empty());
    limits.maxBytes.reset();
    EXPECT_EQ(localplatform::check(false, limits).jobsRead,
              (std::vector<unsigned long long>{later, completeJobId}));
    limits.readFirst.clear();
    EXPECT_EQ(localplatform::check(false, limits).jobsRead,
              (std::vector<unsigned long long>{completeJobId, later}));

    // A file whose digest does not match leaves its job out.
    {
        std::fstream flip(thirdPath, std::ios::in | std::ios::out | std::ios::binary);
        flip.put('T' ^ 1);
    }
    auto damaged = localplatform::check(false, limits);
    EXPECT_EQ(damaged.problems.size(), 1u) << joined(damaged.problems);
    EXPECT_EQ(damaged.jobsRead, std::vector<unsigned long long>{completeJobId});
}

TEST_F(LocalStorePlacesTest, RepairRebuildsALostCatalogFromTheFilesAlone) {
    backUpTwoJobs();
    const unsigned long long failedJob = config.jobId;
    useJob(config.jobId + 1);  // killed while writing: its writer is gone
    CreateRet_t unclosed;
    auto writer = create(&unclosed);
    std::string error;
    ASSERT_TRUE(localplatform::writeStream(config.jobId, 1, "part", 4, &error));
    writer.reset();
    localplatform::failJob(config.jobId);
    const unsigned long long killedJob = config.jobId;
    const std::string store = localplatform::storeDirectory();
    const auto trellanId = completed[0].trellanId;
    localplatform::closeStore();
    loseCatalog(store);
    openAt(store);

    const auto lost = localplatform::check(false);
    // 4 files without entries, a completion marker without its job.
    EXPECT_EQ(lost.problems.size(), 5u) << joined(lost.problems);
    EXPECT_TRUE(contains(lost.problems, "job " + std::to_string(completeJobId) +
                                            " has a completion marker but is not in the catalog"));
    EXPECT_NE(restorable(completed[0]), 0);

    const auto repaired = localplatform::check(true);
    EXPECT_TRUE(repaired.problems.empty()) << joined(repaired.problems);
    EXPECT_TRUE(contains(repaired.repaired,
                         "rebuilt the catalog from 4 archive files of 3 jobs (1 complete)"))
        << joined(repaired.repaired);
    for (const ArchiveFileId_t& id : completed) EXPECT_EQ(restorable(id), 0) << log();
    EXPECT_EQ(completed[0].trellanId, trellanId);

    const auto jobs = localplatform::listJobs();
    std::map<unsigned long long, std::string> states;
    for (const auto& job : jobs) states[job.jobId] = job.state;
    EXPECT_EQ(states[completeJobId], "complete");
    EXPECT_EQ(states[failedJob], "failed");
    EXPECT_EQ(states[killedJob], "failed");
    EXPECT_NE(restorable(failed), 0);
    ArchiveFileRecord record;
    ASSERT_TRUE(localplatform::findArchiveFile(unclosed.trellanId, unclosed.groupNumber,
                                               unclosed.afileId, &record));
    EXPECT_EQ(record.state, "writing");
    ASSERT_TRUE(localplatform::findArchiveFile(completed[0].trellanId, completed[0].groupNumber,
                                               completed[0].afileId, &record));
    EXPECT_EQ(record.state, "closed");
    EXPECT_EQ(record.size, 1500u);
    EXPECT_EQ(record.sha256, sha256Hex(bytes(1500)));

    // What repair made of the incomplete jobs, cleanup removes.
    EXPECT_EQ(localplatform::cleanup().removed.size(), 2u);
    EXPECT_TRUE(localplatform::check(false).problems.empty());
}

// What no command can use is named with what puts it right; a repair
// removes a linked lock and log (never what they lead to), and a complete
// job whose marker was lost stays complete through the rebuild that the
// other problems call for. Names whose numbers are no ids are said, never
// parsed past their range.
TEST_F(LocalStorePlacesTest, RepairKeepsACompleteJobWithoutItsMarkerAndClearsLinkedLocksAndLogs) {
    backUpTwoJobs();
    const std::string store = localplatform::storeDirectory();
    const std::string jobs = store + "/jobs/";
    const std::string id = std::to_string(completeJobId);
    const std::string outside = dir() + "/outside";
    std::ofstream(outside) << "not the store's";
    fs::remove(jobs + id + ".complete");
    fs::remove(jobs + id + ".lock");
    fs::create_symlink(outside, jobs + id + ".lock");
    fs::create_directories(store + "/logs");
    fs::create_symlink(outside, store + "/logs/list.log");
    std::ofstream(jobs + "99999999999999999999.complete") << "";
    std::ofstream(store + "/files/9999999999.arch") << "";
    const std::vector<std::string> foreign = {
        store + "/files/9999999999.arch is neither an archive file nor a description",
        jobs +
            "99999999999999999999.complete is none of the store's: its number is no job id "
            "(at most 18446744073709551615); remove it by hand"};

    const auto found = localplatform::check(false);
    EXPECT_EQ(found.problems,
              (std::vector<std::string>{
                  "job " + id + " is complete in the catalog but has no completion marker " + jobs +
                      id + ".complete",
                  foreign[0],
                  jobs + id +
                      ".lock is a symbolic link, not a lock file: no backup, restore or "
                      "deletion of job " +
                      id + " can take it; remove the link (never what it leads to)",
                  foreign[1],
                  store + "/logs/list.log is a symbolic link, not a log file: the command that "
                          "writes it refuses to run; remove the link (never what it leads to)"}));
    EXPECT_TRUE(contains(found.advice, "`check --repair` removes such links"));

    const auto repaired = localplatform::check(true);
    EXPECT_EQ(repaired.problems, foreign);
    EXPECT_TRUE(contains(repaired.repaired, "removed the symbolic link " + jobs + id +
                                                ".lock (what it leads to is untouched)"))
        << joined(repaired.repaired);
    EXPECT_TRUE(contains(repaired.repaired, "removed the symbolic link " + store +
                                                "/logs/list.log (what it leads to is untouched)"));
    EXPECT_TRUE(contains(repaired.repaired,
                         "job " + id +
                             ": its completion marker was missing; remade from the catalog, "
                             "which has the job complete"));
    EXPECT_TRUE(contains(repaired.repaired, "rebuilt the catalog from"));
    EXPECT_EQ(contentsOf(outside), "not the store's");
    EXPECT_TRUE(fs::is_regular_file(jobs + id + ".complete"));
    for (const auto& job : localplatform::listJobs()) {
        if (job.jobId == completeJobId) {
            EXPECT_EQ(job.state, "complete");
        }
    }
    for (const ArchiveFileId_t& each : completed) EXPECT_EQ(restorable(each), 0) << log();
}

TEST_F(LocalStoreTest, TheStoreDirectoryFollowsTheConfigurationThenTheEnvironment) {
    const std::string base = fs::canonical(config.storeDir).string();
    const auto saved = [](const char* name) {
        const char* value = getenv(name);
        return std::make_pair(value != nullptr, std::string(value ? value : ""));
    };
    const auto home = saved("HOME"), xdg = saved("XDG_DATA_HOME"), store = saved("PIPELINE_STORE");

    EXPECT_EQ(localplatform::storeDirectory(), base);
    config.storeDir.clear();
    setenv("PIPELINE_STORE", (base + "/env").c_str(), 1);
    setenv("XDG_DATA_HOME", (base + "/xdg").c_str(), 1);
    setenv("HOME", (base + "/home").c_str(), 1);
    reconfigure();
    EXPECT_EQ(localplatform::storeDirectory(), base + "/env");
    unsetenv("PIPELINE_STORE");
    reconfigure();
    EXPECT_EQ(localplatform::storeDirectory(), base + "/xdg/pipelinesetup/store");
    unsetenv("XDG_DATA_HOME");
    reconfigure();
    EXPECT_EQ(localplatform::storeDirectory(), base + "/home/.local/share/pipelinesetup/store");
    EXPECT_TRUE(localplatform::listArchiveFiles().empty());
    for (const std::string made : {"/files", "/jobs", "/store.ini", "/catalog.db"}) {
        if (onPostgres() && made == "/catalog.db") continue;
        EXPECT_TRUE(fs::exists(base + "/home/.local/share/pipelinesetup/store" + made)) << made;
    }

    for (const auto& [name, value] :
         {std::make_pair("HOME", home), std::make_pair("XDG_DATA_HOME", xdg),
          std::make_pair("PIPELINE_STORE", store)}) {
        if (value.first)
            setenv(name, value.second.c_str(), 1);
        else
            unsetenv(name);
    }
}

TEST_F(LocalStoreTest, OpeningRefusesWhatIsNoStoreAndKeepsTheIdentity) {
    const auto kindOf = [this](const std::string& dir, localplatform::Access access, bool create) {
        config.storeDir = dir;
        try {
            localplatform::openStore(config, access, create);
        } catch (const StoreError& error) {
            return static_cast<int>(error.kind());
        }
        return -1;
    };
    const std::string original = config.storeDir;
    const uint32_t trellanId = backup("x").trellanId;
    EXPECT_EQ(kindOf(dir() + "/absent", localplatform::Access::ReadOnly, false),
              static_cast<int>(StoreError::Kind::NotFound));
    EXPECT_EQ(kindOf(dir() + "/absent", localplatform::Access::ReadWrite, false),
              static_cast<int>(StoreError::Kind::NotFound));
    EXPECT_FALSE(localplatform::storeIsOpen());
    EXPECT_FALSE(fs::exists(dir() + "/absent"));
    fs::create_directories(dir() + "/foreign");
    std::ofstream(dir() + "/foreign/thesis.tex") << "mine";
    EXPECT_EQ(kindOf(dir() + "/foreign", localplatform::Access::ReadWrite, true),
              static_cast<int>(StoreError::Kind::Unusable));
    EXPECT_FALSE(fs::exists(dir() + "/foreign/catalog.db"));
    std::ofstream(original + "/store.ini", std::ios::app) << "format=9\n";
    EXPECT_EQ(kindOf(original, localplatform::Access::ReadWrite, false),
              static_cast<int>(StoreError::Kind::Unusable));

    // The identity file outlives the catalog.
    std::ofstream(original + "/store.ini", std::ios::trunc)
        << "format=1\ntrellan_id=" << trellanId << "\n";
    fs::remove(original + "/catalog.db");
    EXPECT_EQ(kindOf(original, localplatform::Access::ReadWrite, false), -1);
    EXPECT_EQ(backup("y").trellanId, trellanId);
}

// A catalog of the first format named files by absolute path, wherever the
// store was then. It is read as it is, upgraded when opened for writing, and
// a row naming a file outside the store's files/ is refused, never followed.
TEST_F(LocalStorePlacesTest, AFirstFormatCatalogKeepsWorkingAndNeverReachesOutside) {
    if (onPostgres()) GTEST_SKIP() << "SQLite catalogs only";
    localplatform::closeStore();
    const std::string old = dir() + "/old";
    fs::create_directories(old + "/files");
    std::ofstream(old + "/files/1.arch") << "old data";
    const std::string outside = dir() + "/outside.txt";
    std::ofstream(outside) << "not the store's";
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((old + "/catalog.db").c_str(), &db), SQLITE_OK);
        const std::string sql =
            "CREATE TABLE store(key TEXT PRIMARY KEY, value);"
            "CREATE TABLE archive_files(afile_id INTEGER PRIMARY KEY AUTOINCREMENT, trellan_id "
            "INTEGER NOT NULL, group_number INTEGER NOT NULL, job_id INTEGER NOT NULL, stream "
            "INTEGER NOT NULL, state TEXT NOT NULL CHECK(state IN "
            "('writing','closed','invalidated')), "
            "size INTEGER NOT NULL DEFAULT 0, path TEXT NOT NULL, type_code INTEGER, data_type "
            "INTEGER, setup_text TEXT, create_text TEXT, created_at TEXT NOT NULL, updated_at TEXT "
            "NOT NULL);"
            "INSERT INTO store VALUES('trellan_id', 4242);"
            "INSERT INTO archive_files VALUES(1, 4242, 1, 77, 1, 'closed', 8, "
            "'/gone/elsewhere/files/1.arch', 0, 0, '', '', '2026-01-01T00:00:00.000Z', "
            "'2026-01-01T00:00:01.000Z');"
            "INSERT INTO archive_files VALUES(2, 4242, 1, 78, 1, 'invalidated', 0, '" +
            outside +
            "', 0, 0, '', '', '2026-01-01T00:00:00.000Z', '2026-01-01T00:00:01.000Z');"
            "PRAGMA user_version=1;";
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    config.storeDir = old;
    localplatform::openStore(config, localplatform::Access::ReadOnly, false);
    auto jobs = localplatform::listJobs();
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].state, "complete");
    EXPECT_EQ(jobs[1].state, "failed");
    EXPECT_EQ(jobs[0].files.at(0).path, fs::canonical(old).string() + "/files/1.arch");
    EXPECT_FALSE(fs::exists(old + "/store.ini"));  // read-only writes nothing

    // Its catalog stays catalog.db: one named now would hide its backups.
    config.catalog = "host=/nonexistent dbname=elsewhere";
    EXPECT_THROW(openAt(old), localplatform::StoreError);
    EXPECT_FALSE(fs::exists(old + "/store.ini"));
    config.catalog.clear();
    ::setenv("PIPELINE_CATALOG", "host=/nonexistent dbname=elsewhere", 1);
    openAt(old);
    ::unsetenv("PIPELINE_CATALOG");
    EXPECT_EQ(contentsOf(old + "/store.ini").find("catalog="), std::string::npos);
    EXPECT_EQ(restorable({4242, 1, 1}), 0) << log();
    const auto cleaned = localplatform::cleanup();
    EXPECT_TRUE(cleaned.removed.empty());
    EXPECT_TRUE(contains(cleaned.refused, "its path " + outside + " is absolute"))
        << joined(cleaned.refused);
    EXPECT_EQ(contentsOf(outside), "not the store's");
    EXPECT_EQ(backup("new").trellanId, 4242u);  // the store keeps its identity
    EXPECT_EQ(contentsOf(old + "/files/1.arch"), "old data");
}
