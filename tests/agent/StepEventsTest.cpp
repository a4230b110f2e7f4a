// The library's phases read from the platform's typed steps: a step that
// names its stream puts that stream in the phase, whatever the order.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/local/StepHooks.h"
#include "report/LibraryPhases.h"
#include "report/StreamPhases.h"

namespace {

using localplatform::StepEvent;
using localplatform::StepKind;

class PhaseChanges : public PhaseObserver {
public:
    std::vector<std::string> changes;
    void phaseChanged(unsigned long stream, Phase phase, JobTime, uint64_t) override {
        changes.push_back(std::to_string(stream) + ":" + phaseName(phase));
    }
    void bytesMoved(unsigned long, uint64_t, uint64_t, JobTime) override {}
};

TEST(StepEvents, ABackupCloseFollowsTheStreamEachClosedFileNames) {
    StreamPhases phases({JobKind::Backup, 1, 3, 0});
    PhaseChanges log;
    phases.addObserver(&log);
    LibraryPhases library(phases);
    library.backupClose();
    // Through the platform's observer, as the platform tells them.
    localplatform::crashPoint(StepEvent{StepKind::ArchiveFileClosed, 3, "closeAfile", 0});
    localplatform::crashPoint(StepEvent{StepKind::Other, 2, "closePipeline", 0});
    localplatform::crashPoint(StepEvent{StepKind::ArchiveFileClosed, 1, "closeAfile", 0});
    // Without a stream: the one after the last.
    localplatform::crashPoint(StepEvent{StepKind::ArchiveFilesInvalidated, 0, "x", 0});
    library.callEnded();
    EXPECT_EQ(log.changes, (std::vector<std::string>{"3:close", "3:idle", "1:close", "1:idle",
                                                     "2:close", "2:idle"}));
}

TEST(StepEvents, ARestoreSeeksAndClosesTheStreamsTheMessagesName) {
    StreamPhases phases({JobKind::Restore, 1, 2, 0});
    PhaseChanges log;
    phases.addObserver(&log);
    LibraryPhases library(phases);
    library.restoreSetUp();
    // Opens are counted: the second file opened is restore stream 2, though
    // backup stream 5 wrote it.
    library.step(StepEvent{StepKind::ArchiveFileOpened, 4, "openArchiveFile", 0});
    library.step(StepEvent{StepKind::ArchiveFileOpened, 5, "openArchiveFile", 0});
    library.step(StepEvent{StepKind::SeekSent, 2, "SendXDRMessage", 0});
    library.step(StepEvent{StepKind::SeekSent, 1, "SendXDRMessage", 0});
    library.callEnded();
    library.restoreClose();
    library.step(StepEvent{StepKind::CloseArchiveSent, 2, "SendXDRMessage", 0});
    library.step(StepEvent{StepKind::Pause, 0, "QISLEEP", 0});  // no pause phase here
    library.step(StepEvent{StepKind::CloseArchiveSent, 1, "SendXDRMessage", 0});
    library.callEnded();
    EXPECT_EQ(log.changes,
              (std::vector<std::string>{"1:open", "1:idle", "2:open", "2:seek", "2:idle", "1:seek",
                                        "1:idle", "2:closing wait", "2:idle", "1:closing wait",
                                        "1:idle"}));
}

}  // namespace
