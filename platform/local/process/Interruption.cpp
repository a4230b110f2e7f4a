// The request to stop a running job, and the pauses it cuts short.

#include <condition_variable>
#include <mutex>

#include "platform/local/Interruption.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/process/Context.h"

namespace localplatform {

namespace {

struct Interruption {
    std::mutex mutex;
    std::condition_variable changed;
    bool requested = false;
};

Interruption& interruption() {
    static Interruption instance;
    return instance;
}

}  // namespace

void interrupt() {
    Interruption& state = interruption();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.requested = true;
    }
    state.changed.notify_all();
}

bool interrupted() {
    Interruption& state = interruption();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.requested;
}

bool waitUnlessInterrupted(std::chrono::milliseconds duration) {
    Interruption& state = interruption();
    std::unique_lock<std::mutex> lock(state.mutex);
    return state.changed.wait_for(lock, duration, [&state] { return state.requested; });
}

}  // namespace localplatform
