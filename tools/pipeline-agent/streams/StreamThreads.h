#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "base/JoinedThreads.h"
#include "report/StreamPhases.h"

// The threads of one run of a job's streams, one per stream: each reports
// its stream in `phase` while it works (a restore request's read, a copy's
// data), and the first failure of any sets `abandoned`, which the others
// watch to stop at their next chunk, and ends any wait on the rate limit.
// Thread rules: start and join on the job's thread; fail from any thread,
// for its own slot.
class StreamThreads {
public:
    // slots: how many threads at most, each with a slot of its own.
    StreamThreads(std::size_t slots, StreamPhases* phases, std::atomic<bool>& abandoned,
                  Phase phase = Phase::Read)
        : m_failures(slots), m_phases(phases), m_abandoned(abandoned), m_phase(phase) {}

    // Records failure as slot's and stops the others.
    void fail(std::size_t slot, std::exception_ptr failure) {
        m_failures[slot] = std::move(failure);
        m_abandoned = true;
        if (m_phases) m_phases->stopPacing();
    }

    // Runs work for slot on a thread of its own, which reads stream; what
    // it throws is the slot's failure. False, with the slot failed, when no
    // thread could be started.
    template <typename Work>
    bool start(std::size_t slot, unsigned long stream, Work work) {
        // Kept apart from m_failures[slot], which the thread may already be setting.
        const std::exception_ptr notStarted = m_threads.start(
            "stream " + std::to_string(stream), [this, slot, stream, work = std::move(work)] {
                if (m_phases) m_phases->enter(stream, m_phase);
                try {
                    work();
                } catch (...) {
                    fail(slot, std::current_exception());
                }
                if (m_phases) m_phases->enter(stream, Phase::Idle);
            });
        if (notStarted) fail(slot, notStarted);
        return !notStarted;
    }

    // Joins every thread and returns the failure of the first slot that
    // failed, else what escaped a thread, else null.
    std::exception_ptr join() {
        const std::exception_ptr escaped = m_threads.join();
        for (const std::exception_ptr& failure : m_failures) {
            if (failure) return failure;
        }
        return escaped;
    }

private:
    std::vector<std::exception_ptr> m_failures;
    StreamPhases* const m_phases;
    std::atomic<bool>& m_abandoned;
    const Phase m_phase;
    JoinedThreads m_threads;
};
