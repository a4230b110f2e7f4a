#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

// Keeps the bytes that all of a job's threads move, together, at or under a
// rate (--limit-rate): each thread counts what it moved and waits, when it
// is ahead, until the job's bytes are back under the rate. Time a job did
// not use (a pause, a slow disk) is made up for only as far as kCredit, so
// that a burst after a pause stays short.
//
// Thread rules: pace and release from any thread, at once.
class RateLimit {
public:
    // A monotonic clock; the default is std::chrono::steady_clock.
    using Clock = std::function<std::chrono::nanoseconds()>;
    // Waits for the time given; the default sleeps the calling thread.
    using Sleep = std::function<void(std::chrono::nanoseconds)>;

    // The most of a time not used that later bytes may make up: enough to
    // make up for a stall of the disk or the network (a 1 GiB backup at
    // 50M lost a second to one with a tenth of it), short enough that the
    // burst after a pause stays one second's worth.
    static constexpr std::chrono::milliseconds kCredit{1000};
    // The longest single sleep: a wait notices release() or a signal
    // (interruptSignal) within this.
    static constexpr std::chrono::milliseconds kStep{100};

    // bytesPerSecond: more than 0.
    explicit RateLimit(uint64_t bytesPerSecond, Clock clock = {}, Sleep sleep = {});
    RateLimit(const RateLimit&) = delete;
    RateLimit& operator=(const RateLimit&) = delete;

    // Counts `bytes` that the caller just moved, then waits until the bytes
    // counted so far, by every thread, fit under the rate since the first
    // (less any credit). Returns at once after release() or a stop signal.
    // Returns how long it waited.
    std::chrono::nanoseconds pace(uint64_t bytes);

    // The job is stopping: every wait ends within kStep, and none begins.
    void release() { m_released = true; }

private:
    const uint64_t m_rate;
    const Clock m_clock;
    const Sleep m_sleep;
    std::mutex m_mutex;
    // When the bytes counted so far are due, by the rate; none before the
    // first.
    std::optional<std::chrono::nanoseconds> m_due;
    std::atomic<bool> m_released{false};
};

// The value of a rate option: bytes per second, a decimal number with an
// optional K, M or G (KiB, MiB, GiB; either case), from 1K to 1024G, as
// "50M" or "800K". Throws AgentError (bad input) naming the option and the
// text given.
uint64_t parseRate(const std::string& option, const std::string& text);
