#pragma once

// What the local platform's definitions share: the process's context (the
// open store, its configuration and log sink), how lines are logged, and the
// session head's state. Internal to the local library; not installed.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "platform/CZebNetwork.h"
#include "platform/local/LocalPlatform.h"

// Exported for the media side's own tests, so declared before the hidden
// region: every declaration of it has the same visibility.
namespace localplatform {
class MediaSide;
}  // namespace localplatform

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class LogSink;
class Store;

// Everything a platform call needs to know about its process: made by
// openStore, replaced by closeStore with one that has no store, stderr for a
// log and the default configuration.
struct Context {
    Config config;
    std::shared_ptr<const LogSink> log;
    std::shared_ptr<Store> store;  // null when no store is open
    std::atomic<unsigned long long> currentJob{0};
    std::atomic<unsigned long> steps{0};  // crashPoint calls so far
};

// The process's context: the only process-wide state of the platform. The
// seams that the platform's declarations force (EvEvent, the archive objects'
// constructors, QISLEEP, ...) reach the open store through it. Never null.
std::shared_ptr<Context> context();
// The open store. Throws StoreError(NotFound) when none is open.
std::shared_ptr<Store> openedStore();

// Waits until interrupt() or the time has passed; true when interrupted.
bool waitUnlessInterrupted(std::chrono::milliseconds duration);

// The settings file the configuration resolves to.
std::string settingsFilePath();

// Writes one log line through the context's sink.
void writeLogLine(bool isError, int level, unsigned long long jobId, const std::string& text);

// printf-style formatting into a string of any length.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The platform's own diagnostics, on the current job: refusals and failures
// as errors, routine events as level 1 debug lines. Both prefix the text with
// "local platform: ".
void platformError(const std::string& text);
void platformDebug(const std::string& text);

}  // namespace localplatform

// A session head leads to the media side of the archive file it was opened
// for; it shares that media side with the archive object.
struct CZebNetwork::Impl {
    std::shared_ptr<localplatform::MediaSide> media;
};

#pragma GCC visibility pop
