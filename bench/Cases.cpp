#include "bench/Cases.h"

#include <optional>
#include <vector>

#include "backup/BackupPipelineSetup.h"
#include "bench/Floors.h"
#include "platform/FsrMessages.h"
#include "platform/fake/FakePlatform.h"
#include "restore/RestorePipelineSetup.h"

namespace {

// Texts longer than a std::string keeps in place, as an agent's are.
constexpr const char* kSetupText = "MSSQL backup of instance PROD01 database Orders";
constexpr const char* kCreateText = "Orders_full_20261208_041500_stream_text";

class BackupCase : public BenchCase {
public:
    BackupCase(unsigned long streams, fakeplatform::FakePlatform& fake) : m_fake(fake) {
        m_job.setupValue1 = 11;
        m_job.setupValue2 = 22;
        m_job.setupValue3 = 33;
        m_job.setupText = kSetupText;
        m_job.typeDetail = 81;
        m_job.typeCode = 2;
        m_job.streams = streams;
        m_job.createText = kCreateText;
        m_job.closeMode = 1;
        m_job.keepRestartContext = false;
    }

    // The fake forgets the objects of the last run, so it does not grow.
    void prepare(Side) override { m_fake.restart(); }

    bool run(Side side) override {
        if (side == Side::Floor) return floorBackupJob(m_job);
        BackupPipelineSetup job(m_job.setupValue1, m_job.setupValue2, m_job.setupValue3,
                                m_job.setupText);
        bool ok =
            job.setupPipeline(m_job.typeDetail, m_job.typeCode, m_job.streams, m_job.createText);
        ok = job.closePipeline(m_job.closeMode, m_job.keepRestartContext) && ok;
        return ok;
    }

    void finish(Side) override {}

private:
    fakeplatform::FakePlatform& m_fake;
    BackupJobInput m_job;
};

// Stream i+1 restores from file base+i; every stream seeks, and every file is
// read whole.
std::vector<RestoreArchiveInfo> restoreList(unsigned long streams, uint64_t base) {
    std::vector<RestoreArchiveInfo> list(streams);
    for (unsigned long i = 0; i < streams; ++i) {
        RestoreArchiveInfo& entry = list[i];
        entry.subclientId = 7;
        entry.trellanId = 1;
        entry.archiveOpenParam = 5;
        entry.archiveObjectParam = 6;
        entry.afileId = base + i;
        entry.groupNumber = 3;
        entry.seekOffset = 4096 * (i + 1);
        entry.readAll = true;
    }
    return list;
}

constexpr unsigned long long kOpenArgsValue = 41;
constexpr unsigned long kOpenMessageValue = 42;

// A restore job on both sides, with the steps the cases are made of.
class RestoreCase : public BenchCase {
public:
    RestoreCase(CaseKind kind, unsigned long streams, fakeplatform::FakePlatform& fake)
        : m_kind(kind),
          m_streams(streams),
          m_fake(fake),
          m_listA(restoreList(streams, 100)),
          m_listB(restoreList(streams, 200)) {}

    void setUp() override {
        if (m_kind != CaseKind::RestoreRepeatedRequest) return;
        m_fake.restart();
        start(Side::Library);
        start(Side::Floor);
        request(Side::Library);
        request(Side::Floor);
    }

    void prepare(Side side) override {
        if (m_kind == CaseKind::RestoreRepeatedRequest) return;
        m_fake.restart();
        start(side);
        if (m_kind == CaseKind::RestoreFirstRequest) return;
        request(side);
        // The agent hands the next list over before the request.
        if (m_kind == CaseKind::RestoreOtherFiles) {
            if (side == Side::Library) {
                m_job->setRestoreArchiveFileInfoList(m_listB);
            } else {
                m_floor->setList(m_listB);
            }
        }
        // After the restart the side's archive objects are 1..streams.
        const int closeAnswer = PL_FS_CLOSE_AFILE;
        for (unsigned long n = 1; n <= m_streams; ++n) {
            if (m_kind == CaseKind::RestoreOtherFiles) {
                m_fake.queueMessages(static_cast<int>(n), {closeAnswer});
            } else {
                m_fake.queueMessages(static_cast<int>(n), {closeAnswer, PL_FS_DESTROY});
            }
        }
    }

    bool run(Side side) override {
        switch (m_kind) {
        case CaseKind::RestoreFirstRequest:
        case CaseKind::RestoreRepeatedRequest:
        case CaseKind::RestoreOtherFiles: return request(side);
        default: break;
        }
        bool ok = true;
        if (side == Side::Library) {
            ok = m_job->closePipeline();
            ok = m_job->shutDownPipeline() && ok;
            m_job.reset();
        } else {
            ok = m_floor->closeAll();
            m_floor->shutDown();
            m_floor.reset();
        }
        return ok;
    }

    void finish(Side side) override {
        if (m_kind == CaseKind::RestoreRepeatedRequest) return;
        end(side);
    }

    void tearDown() override {
        if (m_kind != CaseKind::RestoreRepeatedRequest) return;
        end(Side::Library);
        end(Side::Floor);
    }

private:
    void start(Side side) {
        if (side == Side::Library) {
            m_job.emplace(kOpenArgsValue, kOpenMessageValue);
            m_job->setRestoreArchiveFileInfoList(m_listA);
        } else {
            m_floor.emplace(kOpenArgsValue, kOpenMessageValue);
            m_floor->setList(m_listA);
        }
    }

    // A request over the list that the side was handed last.
    bool request(Side side) {
        return side == Side::Library ? m_job->setupPipeline() : m_floor->request();
    }

    void end(Side side) {
        if (side == Side::Library && m_job) {
            m_job->shutDownPipeline();
            m_job.reset();
        }
        if (side == Side::Floor && m_floor) {
            m_floor->shutDown();
            m_floor.reset();
        }
    }

    CaseKind m_kind;
    unsigned long m_streams;
    fakeplatform::FakePlatform& m_fake;
    std::vector<RestoreArchiveInfo> m_listA;
    std::vector<RestoreArchiveInfo> m_listB;
    std::optional<RestorePipelineSetup> m_job;
    std::optional<RestoreFloor> m_floor;
};

}  // namespace

const char* caseName(CaseKind kind) {
    switch (kind) {
    case CaseKind::BackupSetupAndClose: return "BackupSetupAndClose";
    case CaseKind::RestoreFirstRequest: return "RestoreFirstRequest";
    case CaseKind::RestoreRepeatedRequest: return "RestoreRepeatedRequest";
    case CaseKind::RestoreOtherFiles: return "RestoreOtherFiles";
    case CaseKind::RestoreCloseAndShutdown: return "RestoreCloseAndShutdown";
    }
    return "unknown";
}

std::unique_ptr<BenchCase> makeCase(CaseKind kind, unsigned long streams,
                                    fakeplatform::FakePlatform& fake) {
    if (kind == CaseKind::BackupSetupAndClose) return std::make_unique<BackupCase>(streams, fake);
    return std::make_unique<RestoreCase>(kind, streams, fake);
}
