// A real pause, unless the configuration skips pauses for tests.

#include "platform/QiSleep.h"

#include <chrono>
#include <thread>

#include "platform/local/LocalState.h"

void QISLEEP_InTeRnAl(unsigned long milliseconds, const char* unit, int line) {
    localplatform::crashPoint("QISLEEP");
    localplatform::platformDebug(localplatform::formatText(
        "pausing %lu ms for %s:%d", milliseconds, unit ? unit : "?", line));
    if (localplatform::context()->config.skipPauses) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
