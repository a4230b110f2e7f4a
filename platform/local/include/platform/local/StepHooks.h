#pragma once

// The platform's step boundaries: every platform call and every step of the
// store's operations passes crashPoint. Tests kill or signal the process at
// a chosen step there (Config::killAtStep, Config::signalAtStep); an agent
// watches which phase a library call it made is in through a step observer.

#include <functional>

namespace localplatform {

// The steps the platform tells an observer of by kind: those that show
// which stream a library call is at. Every other step is Other.
enum class StepKind {
    Other,
    Pause,                    // QISLEEP: a pause the library asked for
    ArchiveFileCreated,       // createArchiveFile, on a backup stream
    ArchiveFileClosed,        // closeAfile, on a backup stream
    ArchiveFilesInvalidated,  // invalidateArchFilesByJob
    ArchiveFileOpened,        // openArchiveFile, on a restore stream
    SeekSent,                 // SendXDRMessage of FSR_MSG_SEEK_TO_OFFSET
    CloseArchiveSent,         // SendXDRMessage of FSR_MSG_CLOSE_ARCHIVE
};

// One step: its kind, the backup stream it concerns (the archive file's
// group number; 0: none, or not known at that step), and its name and
// detail as the step counter and its log lines have them (detail: the
// message code for "SendXDRMessage", else 0).
struct StepEvent {
    StepKind kind = StepKind::Other;
    unsigned long stream = 0;
    const char* name = nullptr;
    unsigned long detail = 0;
};

// A step boundary: tells the step observer, if one is set, counts it, and
// kills the process (SIGKILL) when the count reaches Config::killAtStep, or
// sends it SIGTERM at Config::signalAtStep. Cheap when no observer is set
// and both are 0.
void crashPoint(const StepEvent& event);
// A step known by its name and detail: its kind is stepKindOf's, its stream
// not known.
void crashPoint(const char* step, unsigned long detail = 0);
// The kind the platform gives its step of this name and detail.
StepKind stepKindOf(const char* step, unsigned long detail);

// Told of every step boundary (crashPoint) with the step's name and detail,
// on the thread that makes the step, from any thread at once: it must be
// thread-safe and cheap. An agent uses it to see which phase a library call
// it made is in.
using StepObserver = std::function<void(const char* step, unsigned long detail)>;
// Makes observer (empty: none) the one told from now on, in place of any set
// before. The one replaced may still be told by steps under way on other
// threads: it must stay valid until every platform call that may reach it
// has returned.
void setStepObserver(StepObserver observer);
// Told of every step boundary as a StepEvent, under the same rules. One
// observer at a time: this one and setStepObserver's replace each other.
using StepEventObserver = std::function<void(const StepEvent& event)>;
void setStepEventObserver(StepEventObserver observer);

}  // namespace localplatform
