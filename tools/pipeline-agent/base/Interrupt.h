#pragma once

#include <functional>
#include <string>

// Ends a job cleanly on SIGINT and SIGTERM, and keeps SIGPIPE from killing
// it (a write to a closed pipe fails with EPIPE instead).
//
// installInterruptHandling() must run before the program starts any thread:
// it blocks SIGINT and SIGTERM in every thread and takes them on a thread of
// its own. On the first signal it records it and runs the reaction set with
// onInterrupt, on that thread; the job notices interruptSignal() at its next
// step and ends with exit status 128 + signal. A second signal ends the
// program at once, with the same status.
void installInterruptHandling();

// A stop signal's name as the user sends it: "SIGINT", "SIGTERM"; another
// signal's "signal N".
std::string signalName(int signal);

// The signal that asked the job to stop, or 0.
int interruptSignal();

// Throws AgentError (interrupted) when a signal asked the job to stop.
void throwIfInterrupted();

// What to do at once when the first signal arrives, besides recording it:
// runs on the signal thread, concurrently with the job, so it may only touch
// what is safe to share. Replaces the earlier reaction; an empty function
// clears it. When the signal came already, the reaction runs at once, on
// the caller's thread (it may then run twice: it must not mind).
void onInterrupt(std::function<void(int signal)> reaction);
