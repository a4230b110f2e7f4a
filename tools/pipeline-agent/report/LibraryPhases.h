#pragma once

#include <atomic>
#include <thread>

#include "platform/local/StepHooks.h"
#include "report/StreamPhases.h"

// Tells which stream phase a library call is in, from the platform's typed
// steps (localplatform::setStepEventObserver) made on the job's thread while
// the call runs: the library's calls over the streams go through them in
// stream order, 1, 2, ... N.
//   backupSetUp(k)  AddStreamToPipeline(k): set-up, then pause from the
//                   platform's pause on.
//   backupClose()   closePipeline for every stream: stream k's close begins
//                   when its archive file is closed (the step names the
//                   stream), or at the k-th file invalidated.
//   restoreSetUp()  setupPipeline: stream k is opened from the k-th
//                   archive file opened on (a pause between opens goes to the
//                   next stream), sought from the seek of stream k (the step
//                   names the stream the media side was opened for), else the
//                   k-th seek.
//   restoreClose()  closePipeline(): stream k's closing wait begins at its
//                   FSR_MSG_CLOSE_ARCHIVE (named, else the k-th).
// A restore stream k is the k-th file the library opens, whichever backup
// stream wrote it: opens are counted, not named.
// callEnded() ends the call: the stream in a phase of it goes Idle. A stream
// leaves a phase of the call when the next stream enters one.
//
// Thread rules: made on the job's thread, which makes every call here and
// every library call observed; steps from other threads are ignored. Installs
// itself as the platform's step observer for its lifetime; it must outlive
// every platform call made while it lives.
class LibraryPhases {
public:
    explicit LibraryPhases(StreamPhases& phases);
    ~LibraryPhases();
    LibraryPhases(const LibraryPhases&) = delete;
    LibraryPhases& operator=(const LibraryPhases&) = delete;

    void backupSetUp(unsigned long stream);
    void backupClose();
    void restoreSetUp();
    void restoreClose();
    void callEnded();

    // A platform step (the step observer).
    void step(const localplatform::StepEvent& event);
    // The same for a step known by its name and detail only, as a step
    // observer of names is told (its kind as the platform gives it, no
    // stream); for tests.
    void step(const char* name, unsigned long detail);

private:
    enum class Call { None, BackupSetUp, BackupClose, RestoreSetUp, RestoreClose };
    void begin(Call call, unsigned long stream);
    void moveTo(unsigned long stream, Phase phase);

    StreamPhases& m_phases;
    const std::thread::id m_thread;
    // Written and read on the job's thread only (steps of other threads are
    // dropped before they look).
    Call m_call = Call::None;
    unsigned long m_current = 0;  // the stream in a phase of the call; 0: none
    unsigned long m_opened = 0;
    unsigned long m_sought = 0;
    unsigned long m_closed = 0;
};
