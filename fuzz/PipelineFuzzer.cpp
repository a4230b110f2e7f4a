// Stateful fuzzer of both classes on the fault-injecting fake platform. The
// input chooses a sequence of public operations and their arguments, and
// the platform's answers: failures and result codes, null session heads,
// pipeline message types, and exceptions from any platform call. After every
// step it checks what must always hold:
//   - every closeAfile and invalidation names the archive file that was
//     created on that stream's own archive object (the two backup maps stay
//     paired);
//   - the restore map's keys are stream numbers 1..65 and each entry is its
//     slot: the archive object made for that stream, with the session head
//     of that object's latest open;
//   - no platform call reaches a deleted archive object (the fake aborts);
//   - by the end every archive object is deleted exactly once.
// Waits never block: a read with no answer left fails.
//
// Input: byte 0 gives the length of the operations part (4 bytes per unit),
// which follows it; the rest are the platform's answers. Each part is read
// by its own FuzzedDataProvider, so that a change to one leaves the other's
// reading in place (fuzz/make_seeds.py writes the seed corpus that way).

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "backup/BackupPipelineSetup.h"
#include "platform/FsrMessages.h"
#include "platform/ZebArchive.h"
#include "platform/fake/FakePlatform.h"
#include "restore/RestorePipelineSetup.h"

using fakeplatform::Action;
using fakeplatform::Call;
using fakeplatform::FakePlatform;
using fakeplatform::Op;

namespace {

struct InjectedFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void broken(const std::string& what) {
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::abort();
}

class Session {
public:
    Session(const uint8_t* data, size_t opsSize, size_t answersSize)
        : m_in(data, opsSize), m_answers(data + opsSize, answersSize) {
        m_fake.inject(std::nullopt, {}, Action::run([this](const Call& call) {
                          return answer(call);
                      }));
    }

    void run() {
        for (int step = 0; step < 64 && m_in.remaining_bytes() > 0; ++step) {
            m_throwAt = 0;
            m_throwable = 0;
            const uint8_t t = m_in.ConsumeIntegral<uint8_t>();
            if (t >= 232) m_throwAt = t - 231;
            m_inOperation = true;
            try {
                operation();
            } catch (const InjectedFault&) {
                // Passed through, as it must; the objects stay usable.
                if (m_trace) std::fprintf(stderr, "  threw\n");
            }
            m_inOperation = false;
            check();
        }
        finish();
    }

private:
    // --- The platform's answers

    Action answer(const Call& call) {
        if (!m_inOperation) {
            // The end-of-life closes: read answers only, never a failure.
            if (call.op == Op::ReadBuffer) queueCleanAnswer(call);
            return Action();
        }
        if (m_throwAt && fakeplatform::canThrow(call.op) && ++m_throwable == m_throwAt) {
            return Action::throws(InjectedFault("injected"));
        }
        switch (call.op) {
        case Op::ReadBuffer: {
            if (m_answers.remaining_bytes() == 0) return Action::returns(0);
            static constexpr int kTypes[] = {PL_FS_CLOSE_AFILE, PL_FS_DESTROY,
                                             PL_FS_READ_ALL_ABORTED, 7, fakeplatform::kReadFails};
            m_fake.queueMessages(call.archive, {kTypes[m_answers.ConsumeIntegralInRange(0, 4)]});
            return Action();
        }
        case Op::SendXDRMessage: {
            const uint8_t b = m_answers.ConsumeIntegral<uint8_t>();
            if (b < 200) return Action();
            if (b < 230) return Action::returns(CQiError(-(b - 199), "channel error"));
            return Action::returns(CQiError(b, "positive"));
        }
        case Op::OpenArchiveFile: {
            const uint8_t b = m_answers.ConsumeIntegral<uint8_t>();
            if (b < 200) return Action();
            if (b < 240) return Action::returns(b);
            return Action::nullSessionHead();
        }
        case Op::SetupPipeline:
        case Op::CreateArchiveFile:
        case Op::GetCurrentArchiveFileOffset:
        case Op::CloseAfile:
        case Op::InvalidateArchFilesByJob:
        case Op::CloseArchiveFileAndReleaseVolume: {
            const uint8_t b = m_answers.ConsumeIntegral<uint8_t>();
            return b < 210 ? Action() : Action::returns(b % 2 ? -1 : b);
        }
        default:
            return Action();
        }
    }

    // Ends every wait at its second read.
    void queueCleanAnswer(const Call& call) {
        const auto& logs = m_fake.logs();
        const std::string& last = logs.empty() ? std::string() : logs.back().text;
        int type = PL_FS_CLOSE_AFILE;
        if (last.find("(137)") != std::string::npos || last.find("(120)") != std::string::npos) {
            type = last.find("(137)") != std::string::npos ? PL_FS_DESTROY : PL_FS_CLOSE_AFILE;
        }
        m_fake.queueMessages(call.archive, {type});
    }

    // --- The agent's operations

    unsigned long streamNumber() {
        switch (m_in.ConsumeIntegralInRange(0, 9)) {
        case 0: return 0;
        case 1: return ULONG_MAX;
        case 2: return 1UL << 31;
        case 3: return 66;
        default: return m_in.ConsumeIntegralInRange<unsigned long>(1, 8);
        }
    }

    std::string text() {
        static const std::string kTexts[] = {"", "job", std::string("a\0b", 3),
                                             std::string(100, 'x')};
        return kTexts[m_in.ConsumeIntegralInRange(0, 3)];
    }

    std::vector<RestoreArchiveInfo> list() {
        const bool wide = m_in.ConsumeBool();
        const size_t count = wide ? m_in.ConsumeIntegralInRange<size_t>(0, 70)
                                  : m_in.ConsumeIntegralInRange<size_t>(0, 4);
        std::vector<RestoreArchiveInfo> files(count);
        for (size_t i = 0; i < count; ++i) {
            RestoreArchiveInfo& e = files[i];
            // A small pool of files, so that later lists often match.
            const auto file = m_in.ConsumeIntegralInRange(0, 15);
            e.trellanId = file == 15 ? 0x100000001ULL : 1 + file / 8;
            e.afileId = 100 + file % 4;
            e.groupNumber = i;
            e.subclientId = i + 50;
            e.archiveObjectParam = static_cast<long long>(i + 1);  // names the slot
            e.seekOffset = m_in.ConsumeIntegral<uint8_t>() * 1000ULL;
            e.readAll = m_in.ConsumeBool();
        }
        return files;
    }

    // Each argument is read into its own variable first, so that the order
    // in which the input is read does not hang on the compiler's order of
    // evaluating arguments.
    void operation() {
        const int op = m_in.ConsumeIntegralInRange(0, 23);
        if (m_trace) std::fprintf(stderr, "step: operation %d, throw at %d\n", op, m_throwAt);
        switch (op) {
        case 0: {
            const auto value1 = m_in.ConsumeIntegral<unsigned long long>();
            const auto value2 = m_in.ConsumeIntegral<unsigned long>();
            const auto value3 = m_in.ConsumeIntegral<unsigned long>();
            const std::string setupText = text();
            m_backup = std::make_unique<BackupPipelineSetup>(value1, value2, value3, setupText);
            break;
        }
        case 1: {
            const bool indexing = m_in.ConsumeBool();
            const unsigned long detail = m_in.ConsumeIntegralInRange(79, 82);
            const unsigned long code = m_in.ConsumeIntegralInRange(0, 5);
            m_backup->setUseIndexing(indexing);
            m_backup->setDataType(detail, code);
            break;
        }
        case 2: {
            const unsigned long detail = m_in.ConsumeIntegralInRange(79, 82);
            const unsigned long code = m_in.ConsumeIntegralInRange(0, 5);
            unsigned long count = m_in.ConsumeIntegralInRange<unsigned long>(0, 70);
            if (count > 66) count = count == 67 ? ULONG_MAX : 1UL << 31;  // refused
            const std::string createText = text();
            m_backup->setupPipeline(detail, code, count, createText);
            break;
        }
        case 3: {
            static constexpr int kStreams[] = {0, -1, INT_MIN, INT_MAX, 1, 2, 3, 9};
            m_backup->AddStreamToPipeline(kStreams[m_in.ConsumeIntegralInRange(0, 7)], "add");
            break;
        }
        case 4: {
            unsigned long long offset = 0;
            m_backup->getArchiveFileOffset(streamNumber(), offset);
            break;
        }
        case 5: {
            const unsigned long mode = m_in.ConsumeIntegralInRange(0, 2);
            const bool keep = m_in.ConsumeBool();
            m_backup->closePipeline(mode, keep);
            break;
        }
        case 6: {
            const unsigned long stream = streamNumber();
            const unsigned long mode = m_in.ConsumeIntegralInRange(0, 2);
            const bool keep = m_in.ConsumeBool();
            m_backup->closePipeline(stream, mode, keep);
            break;
        }
        case 7: {
            // The agent's own close of an archive object it made itself.
            const unsigned long mode = m_in.ConsumeIntegralInRange(0, 1);
            const bool keep = m_in.ConsumeBool();
            auto* archive = new ZebArchive(nullptr, true, nullptr);
            m_ownArchives.insert(m_fake.archiveNumber(archive));
            CreateRet_t ret{};
            bool deleted = false;
            try {
                deleted = m_backup->close(9, ret, archive, mode, keep);
            } catch (...) {
                delete archive;  // a throw leaves it undeleted
                throw;
            }
            if (!deleted) delete archive;
            break;
        }
        case 8: {
            const auto openArgsValue = m_in.ConsumeIntegral<uint8_t>();
            const auto openMessageValue = m_in.ConsumeIntegral<uint8_t>();
            m_restore = std::make_unique<RestorePipelineSetup>(openArgsValue, openMessageValue);
            break;
        }
        case 9:
        case 10:
            m_restore->setRestoreArchiveFileInfoList(list());
            break;
        case 11:
        case 12:
        case 13:
            m_restore->setupPipeline();
            break;
        case 14:
            m_restore->CheckIfNeedToCloseArchiveFiles();
            break;
        case 15:
            m_restore->OpenArchiveFilesForRestore();
            break;
        case 16:
            m_restore->SeekToOffsetInArchiveFiles();
            break;
        case 17: {
            const auto map = m_restore->getStreamPipeinfoMap();
            const bool fromMap = m_in.ConsumeBool();
            const auto index = m_in.ConsumeIntegralInRange<size_t>(0, 64);
            const bool dropHead = m_in.ConsumeIntegralInRange(0, 7) == 0;
            const unsigned long stream = streamNumber();
            PipelineInfo info;
            if (!map.empty() && fromMap) {
                auto it = map.begin();
                std::advance(it, index % map.size());
                info = it->second;
                if (dropHead) info.sessionHead = nullptr;
            }
            m_restore->closeArchFile(stream, info);
            break;
        }
        case 18:
            m_restore->closeArchFiles();
            break;
        case 19:
            m_restore->closePipeline(streamNumber());
            break;
        case 20:
            m_restore->closePipeline();
            break;
        case 21:
            m_restore->shutDownPipeline();
            break;
        case 22:
            m_restore->setReopenEachRequest(m_in.ConsumeBool());
            break;
        case 23: {
            const bool present = m_in.ConsumeBool();
            const unsigned long delay = m_in.ConsumeIntegralInRange(0, 2);
            if (present) {
                m_fake.setSetting("MSSQLAgent", "DelayPipelineSetup", delay);
            } else {
                m_fake.removeSetting("MSSQLAgent", "DelayPipelineSetup");
            }
            break;
        }
        }
    }

    // --- Invariants

    void check() {
        const auto& calls = m_fake.allCalls();
        for (; m_checked < calls.size(); ++m_checked) {
            const Call& call = calls[m_checked];
            if (call.op == Op::CloseAfile && !m_ownArchives.count(call.archive)) {
                const auto created = m_fake.facts(call.archive).created;
                if (!created || created->trellanId != call.closeAfileArgs->trellanId ||
                    created->groupNumber != call.closeAfileArgs->groupNumber ||
                    created->afileId != call.closeAfileArgs->afileId) {
                    broken("closeAfile on " + call.describe() + " names another stream's file");
                }
            }
            if (call.op == Op::InvalidateArchFilesByJob) m_pendingInvalidation = m_checked;
            if (call.op == Op::FreeBuffer && m_pendingInvalidation) {
                const Call& invalidation = calls[*m_pendingInvalidation];
                m_pendingInvalidation.reset();
                if (m_ownArchives.count(call.archive) || invalidation.threw) continue;
                const auto created = m_fake.facts(call.archive).created;
                if (!created || invalidation.invalidateArgs->trellanId != created->trellanId ||
                    invalidation.invalidateArgs->afileIds.size() != 1 ||
                    invalidation.invalidateArgs->afileIds[0] != created->afileId) {
                    broken("invalidation before " + call.describe() + " names another file");
                }
            }
        }
        // An invalidation and its stream's freeBuffer belong to one step.
        m_pendingInvalidation.reset();
        if (m_fake.allCalls().size() > 200000) {
            // Keep the record short on long inputs; nothing before is needed.
            m_fake.clearJournal();
            m_checked = 0;
        }
        for (const auto& [stream, info] : m_restore->getStreamPipeinfoMap()) {
            if (stream < 1 || stream > RestorePipelineSetup::kMaxStreams) {
                broken("restore map key " + std::to_string(stream));
            }
            const int archive = m_fake.archiveNumber(info.archive);
            if (archive == 0) broken("stream " + std::to_string(stream) + " on a deleted object");
            const auto facts = m_fake.facts(archive);
            if (facts.objectParam != static_cast<long long>(stream)) {
                broken("stream " + std::to_string(stream) + " holds another slot's object");
            }
            if (info.sessionHead == nullptr ||
                m_fake.sessionNumber(info.sessionHead) != facts.lastSession) {
                broken("stream " + std::to_string(stream) + " holds a stale session head");
            }
        }
    }

    // Closes what is left with a platform that no longer fails, destroys
    // both objects and checks that every archive object is gone.
    void finish() {
        if (!m_backup->closePipeline(1, false)) broken("final backup close failed");
        for (const auto& [stream, info] : m_restore->getStreamPipeinfoMap()) {
            if (!m_restore->closePipeline(stream)) broken("final restore close failed");
        }
        m_restore->shutDownPipeline();
        check();
        m_backup.reset();
        m_restore.reset();
        if (m_fake.liveArchives() != 0 || m_fake.archivesDeleted() != m_fake.archivesMade()) {
            broken(std::to_string(m_fake.liveArchives()) + " archive objects left alive");
        }
    }

    FuzzedDataProvider m_in;       // the operations and their arguments
    FuzzedDataProvider m_answers;  // the platform's answers
    FakePlatform m_fake;
    std::unique_ptr<BackupPipelineSetup> m_backup = std::make_unique<BackupPipelineSetup>();
    std::unique_ptr<RestorePipelineSetup> m_restore = std::make_unique<RestorePipelineSetup>();
    std::set<int> m_ownArchives;     // made by the fuzzer for close()
    size_t m_checked = 0;
    std::optional<size_t> m_pendingInvalidation;
    bool m_inOperation = false;
    // PIPELINE_FUZZ_TRACE=1 prints each step, to read what an input does.
    const bool m_trace = std::getenv("PIPELINE_FUZZ_TRACE") != nullptr;
    int m_throwAt = 0;
    int m_throwable = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t ops = std::min<size_t>(size - 1, data[0] * 4u);
    Session(data + 1, ops, size - 1 - ops).run();
    return 0;
}
