// What maintenance makes of backup chains, on chains made up here: which
// jobs a delete refuses and why, which jobs expire keeps for the jobs that
// refer to them and the line it says, the order a deletion takes, what check
// finds wrong with a reference, the job summaries that carry the
// references between commands, and check's last line.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "archive/JobSummaries.h"
#include "maintenance/ChainNeeds.h"
#include "maintenance/CheckVerdict.h"
#include "maintenance/ReferenceCheck.h"

namespace {

using Ids = std::vector<unsigned long long>;
using Lines = std::vector<std::string>;

// A set's chains as the manifests record them, flattened: full 10, incr 11
// on it, incr 12 on 11 (holding data in 10 and 11), diff 13 on 10; and an
// unrelated full 20 with a diff 21.
JobReferences twoSets() {
    return {{11, {10}}, {12, {11, 10}}, {13, {10}}, {21, {20}}};
}

std::set<unsigned long long> all() { return {10, 11, 12, 13, 20, 21}; }

std::set<unsigned long long> allBut(const Ids& going) {
    std::set<unsigned long long> staying = all();
    for (const unsigned long long job : going) staying.erase(job);
    return staying;
}

}  // namespace

TEST(ReferredJobRefusal, NamesEveryJobThatStaysAndRefersToTheFirstJobRefused) {
    const JobReferences refs = twoSets();
    EXPECT_EQ(referredJobRefusal(refs, {10}, allBut({10})),
              "job 10 holds data that jobs 11, 12, 13 refer to; delete them first, or with it "
              "in the same command");
    EXPECT_EQ(referredJobRefusal(refs, {21, 11}, allBut({21, 11})),
              "job 11 holds data that job 12 refers to; delete job 12 first, or with it in the "
              "same command");
    // Only jobs that stay count: a job deleted before, or failed, is not in
    // staying; one deleted in the same command is not either.
    EXPECT_EQ(referredJobRefusal(refs, {10}, {10, 12, 20}),
              "job 10 holds data that job 12 refers to; delete job 12 first, or with it in the "
              "same command");
    EXPECT_EQ(referredJobRefusal(refs, {10, 11, 12, 13}, all()), "");
    EXPECT_EQ(referredJobRefusal(refs, {12, 13, 21}, all()), "");
    EXPECT_EQ(referredJobRefusal({}, {10}, all()), "");
}

TEST(KeepReferred, KeepsWhatAJobThatStaysNeedsDownTheChainAndLetsAWholeChainGo) {
    const JobReferences refs = twoSets();
    // The rules keep 12 alone: it keeps 11 and 10, which it names; 13 and
    // the other set go.
    std::vector<KeptByReference> kept = keepReferred(refs, {12}, {13, 11, 10, 21, 20});
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].jobId, 11u);
    EXPECT_EQ(kept[0].referrers, (Ids{12}));
    EXPECT_EQ(kept[1].jobId, 10u);
    EXPECT_EQ(kept[1].referrers, (Ids{11, 12}));  // 11 stays now, and refers to 10 too
    EXPECT_EQ(keepingLine(kept[0]), "keeping job 11: job 12, which is kept, refers to it");
    EXPECT_EQ(keepingLine(kept[1]), "keeping job 10: jobs 11, 12, which are kept, refer to it");

    // A job kept for a job kept for another keeps what it refers to in
    // turn, even when the manifests were not flattened.
    kept = keepReferred({{3, {2}}, {2, {1}}}, {3}, {2, 1});
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].jobId, 1u);
    EXPECT_EQ(kept[1].referrers, (Ids{2}));

    // No job of a chain stays: all of it goes.
    EXPECT_TRUE(keepReferred(refs, {20, 21}, {13, 12, 11, 10}).empty());
    // What the rules keep is not kept again, and a job named twice among
    // the doomed is kept once.
    EXPECT_TRUE(keepReferred(refs, {13, 10}, {11}).empty());
    kept = keepReferred(refs, {13}, {10, 10});
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].referrers, (Ids{13}));
}

TEST(ReferrersFirst, PutsEveryJobAfterTheJobsThatReferToItAndKeepsTheRestInOrder) {
    const JobReferences refs = twoSets();
    EXPECT_EQ(referrersFirst(refs, {10, 11, 12, 13}), (Ids{12, 11, 13, 10}));
    EXPECT_EQ(referrersFirst(refs, {20, 10, 21, 13}), (Ids{21, 20, 13, 10}));
    // Already in order, or unrelated: as given, each once.
    EXPECT_EQ(referrersFirst(refs, {13, 12, 11, 10}), (Ids{13, 12, 11, 10}));
    EXPECT_EQ(referrersFirst(refs, {20, 13, 20, 12}), (Ids{20, 13, 12}));
    // Jobs referred to outside ids do not matter; a cycle ends.
    EXPECT_EQ(referrersFirst(refs, {11}), (Ids{11}));
    EXPECT_EQ(referrersFirst({{1, {2}}, {2, {1}}}, {1, 2}).size(), 2u);
}

namespace {

localplatform::ArchiveFileRecord closedFile(uint32_t afile, unsigned long stream) {
    localplatform::ArchiveFileRecord file;
    file.trellanId = 77;
    file.groupNumber = static_cast<uint32_t>(stream);
    file.afileId = afile;
    file.stream = stream;
    file.jobId = 10;
    file.state = "closed";
    return file;
}

ManifestReference referenceTo10() {
    ManifestReference reference;
    reference.jobId = 10;
    reference.archives = {{1, 77, 1, 5}, {2, 77, 2, 6}};
    return reference;
}

localplatform::JobRecord holder10() {
    localplatform::JobRecord job;
    job.jobId = 10;
    job.state = "complete";
    job.files = {closedFile(5, 1), closedFile(6, 2)};
    return job;
}

}  // namespace

TEST(ReferenceProblem, NamesTheFirstThingThatKeepsTheHeldDataFromARestore) {
    const ManifestReference reference = referenceTo10();
    localplatform::JobRecord holder = holder10();
    EXPECT_EQ(referenceProblem(reference, &holder), "");
    EXPECT_EQ(referenceProblem(reference, nullptr), "the store has no job 10");
    for (const char* state : {"deleting", "failed", "damaged", "running"}) {
        holder.state = state;
        EXPECT_EQ(referenceProblem(reference, &holder),
                  std::string("job 10 is ") + state + ", not complete");
    }
    holder = holder10();
    holder.files[1].afileId = 9;  // the store has another file for the stream
    EXPECT_EQ(referenceProblem(reference, &holder),
              "archive file 77-2-6 (stream 2) is not job 10's");
    holder = holder10();
    holder.files[0].state = "invalidated";
    EXPECT_EQ(referenceProblem(reference, &holder),
              "archive file 77-1-5 (stream 1) of job 10 is invalidated, not closed");
    holder = holder10();
    holder.files.push_back(closedFile(7, 3));
    EXPECT_EQ(referenceProblem(reference, &holder),
              "job 10 has archive file 77-3-7 (stream 3), which the reference does not name");
}

TEST(ReferenceWhere, NamesTheJobTheFirstFileHeldAndTheHolder) {
    Manifest manifest;
    manifest.jobId = 12;
    const auto file = [](const std::string& name, unsigned long long heldBy) {
        ManifestFile entry;
        entry.name = name;
        entry.heldBy = heldBy;
        return entry;
    };
    manifest.files = {file("new.bin", 0), file("a.bin", 11), file("b.bin", 10), file("c.bin", 10),
                      file("d.bin", 10)};
    EXPECT_EQ(referenceWhere(manifest, 11), "job 12: a.bin held by job 11");
    EXPECT_EQ(referenceWhere(manifest, 10), "job 12: b.bin (and 2 more files) held by job 10");
    EXPECT_EQ(referenceWhere(manifest, 9), "job 12's reference to job 9");
}

namespace {

std::string freshDirectory(const std::string& name) {
    const std::string path = std::string(AGENT_TEST_TMP) + "/" + name;
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path;
}

}  // namespace

// The summaries carry what delete and expire decide by: the chain and the
// references must come back as kept, and a summary kept by an agent that
// did not record them must be read from the manifest again, never taken to
// refer to nothing.
TEST(JobSummaryChains, ComeBackAsKeptAndASummaryWithoutThemIsNotUsed) {
    const std::string directory = freshDirectory("chain-summaries");
    const JobSummaries summaries(directory);
    Manifest manifest;
    manifest.jobId = 12;
    manifest.createdAt = "2026-12-09T10:00:00Z";
    manifest.chain = ManifestChain{"/srv/data", BackupType::Incr, 11, 10, 2};
    ManifestReference eleven;
    eleven.jobId = 11;
    ManifestReference ten;
    ten.jobId = 10;
    manifest.references = {eleven, ten};
    summaries.save(12, summaryOf(manifest));
    const std::optional<JobSummary> loaded = summaries.load(12);
    ASSERT_TRUE(loaded);
    ASSERT_TRUE(loaded->chain);
    EXPECT_EQ(*loaded->chain, *manifest.chain);
    EXPECT_EQ(loaded->references, (Ids{11, 10}));

    Manifest full;
    full.jobId = 10;
    full.chain = ManifestChain{"/srv/data", BackupType::Full, 0, 0, 0};
    summaries.save(10, summaryOf(full));
    ASSERT_TRUE(summaries.load(10));
    EXPECT_EQ(summaries.load(10)->chain->type, BackupType::Full);
    EXPECT_TRUE(summaries.load(10)->references.empty());

    // As the release before wrote it.
    std::ofstream(directory + "/13.json") << R"({"createdAt":"2026-12-09T10:00:00Z","files":[]})";
    EXPECT_FALSE(summaries.load(13));
}

TEST(CheckSummary, CountsTheDataReadForTheJobsThatReferToItApart) {
    CheckFindings found;
    found.result.files = 4;
    found.result.bytes = 10;
    found.frames.jobs = 1;
    found.frames.bytes = 9;
    found.frames.heldBytes = 4;
    EXPECT_EQ(checkSummary(found, "/srv/store"),
              "the store /srv/store is sound: 4 archive files, 19 bytes checked (5 of them the "
              "stored frames of 1 job with stages, 4 of them the data that jobs refer to in other "
              "jobs' archive files, read again)");
    found.frames.jobs = 0;
    found.frames.bytes = 4;
    EXPECT_EQ(checkSummary(found, "/srv/store"),
              "the store /srv/store is sound: 4 archive files, 14 bytes checked (4 of them the "
              "data that jobs refer to in other jobs' archive files, read again)");
}
