// The step boundaries: the observers told of each step, and the tests' kill
// and signal at a chosen step.

#include "platform/local/StepHooks.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/FsrMessages.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/process/Context.h"

namespace localplatform {

namespace {

std::atomic<std::shared_ptr<const StepEventObserver>>& stepObserver() {
    static std::atomic<std::shared_ptr<const StepEventObserver>> observer;
    return observer;
}

}  // namespace

void setStepEventObserver(StepEventObserver observer) {
    stepObserver().store(observer ? std::make_shared<const StepEventObserver>(std::move(observer))
                                  : nullptr);
}

void setStepObserver(StepObserver observer) {
    if (!observer) return setStepEventObserver({});
    setStepEventObserver([named = std::move(observer)](const StepEvent& event) {
        named(event.name, event.detail);
    });
}

void crashPoint(const char* step, unsigned long detail) {
    crashPoint(StepEvent{stepKindOf(step, detail), 0, step, detail});
}

StepKind stepKindOf(const char* step, unsigned long detail) {
    if (step == nullptr) return StepKind::Other;
    static const std::map<std::string_view, StepKind> kinds = {
        {"QISLEEP", StepKind::Pause},
        {"closeAfile", StepKind::ArchiveFileClosed},
        {"invalidateArchFilesByJob", StepKind::ArchiveFilesInvalidated},
        {"openArchiveFile", StepKind::ArchiveFileOpened},
    };
    if (std::string_view(step) == "SendXDRMessage") {
        return detail == FSR_MSG_SEEK_TO_OFFSET  ? StepKind::SeekSent
               : detail == FSR_MSG_CLOSE_ARCHIVE ? StepKind::CloseArchiveSent
                                                 : StepKind::Other;
    }
    const auto found = kinds.find(step);
    return found == kinds.end() ? StepKind::Other : found->second;
}

void crashPoint(const StepEvent& event) {
    const char* const step = event.name;
    if (const auto observer = stepObserver().load()) (*observer)(event);
    const auto now = context();
    const unsigned long killAt = now->config.killAtStep;
    const unsigned long signalAt = now->config.signalAtStep;
    if (killAt == 0 && signalAt == 0) return;
    const unsigned long reached = ++now->steps;
    if (reached == killAt) {
        writeLogLine(true, 0, now->currentJob,
                     formatText("local platform: killed at step %lu (%s)", killAt,
                                step ? step : "?"));
        ::raise(SIGKILL);
    }
    if (reached == signalAt) {
        writeLogLine(true, 0, now->currentJob,
                     formatText("local platform: SIGTERM at step %lu (%s)", signalAt,
                                step ? step : "?"));
        // The program takes the signal on a thread of its own; the step
        // goes on once it has asked the platform to stop, as if the signal
        // had come just before this step.
        ::kill(::getpid(), SIGTERM);
        waitUnlessInterrupted(std::chrono::seconds(10));
    }
}

}  // namespace localplatform
