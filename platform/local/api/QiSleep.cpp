// A real pause, unless the configuration skips pauses for tests.

#include "platform/QiSleep.h"

#include <chrono>

#include "platform/local/StepHooks.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/process/Context.h"

void QISLEEP_InTeRnAl(unsigned long milliseconds, const char* unit, int line) {
    localplatform::crashPoint({localplatform::StepKind::Pause, 0, "QISLEEP", 0});
    localplatform::platformDebug(localplatform::formatText(
        "pausing %lu ms for %s:%d", milliseconds, unit ? unit : "?", line));
    if (localplatform::context()->config.skipPauses) return;
    if (localplatform::waitUnlessInterrupted(std::chrono::milliseconds(milliseconds))) {
        localplatform::platformDebug("the pause was cut short: the job is being stopped");
    }
}
