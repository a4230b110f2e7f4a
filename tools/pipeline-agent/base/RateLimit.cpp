#include "base/RateLimit.h"

#include <thread>

#include "base/AgentError.h"
#include "base/Interrupt.h"

namespace {

constexpr uint64_t kMinRate = 1ull << 10;
constexpr uint64_t kMaxRate = 1ull << 40;

std::chrono::nanoseconds steadyNow() { return std::chrono::steady_clock::now().time_since_epoch(); }

}  // namespace

RateLimit::RateLimit(uint64_t bytesPerSecond, Clock clock, Sleep sleep)
    : m_rate(bytesPerSecond),
      m_clock(clock ? std::move(clock) : Clock(steadyNow)),
      m_sleep(sleep ? std::move(sleep) : Sleep([](std::chrono::nanoseconds span) {
          std::this_thread::sleep_for(span);
      })) {}

std::chrono::nanoseconds RateLimit::pace(uint64_t bytes) {
    using std::chrono::nanoseconds;
    const nanoseconds start = m_clock();
    nanoseconds due;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // The first bytes are due from now; later ones from when the ones
        // before were, but no earlier than the credit allows.
        if (!m_due) {
            m_due = start;
        } else if (*m_due < start - kCredit) {
            m_due = start - nanoseconds(kCredit);
        }
        // bytes / rate seconds, in ns, worked out in 128 bits.
        *m_due += nanoseconds(
            static_cast<int64_t>(static_cast<unsigned __int128>(bytes) * 1'000'000'000u / m_rate));
        due = *m_due;
    }
    nanoseconds now = start;
    while (now < due && !m_released && interruptSignal() == 0) {
        m_sleep(std::min<nanoseconds>(due - now, kStep));
        now = m_clock();
    }
    return now - start;
}

uint64_t parseRate(const std::string& option, const std::string& text) {
    uint64_t unit = 1;
    std::string digits = text;
    if (!digits.empty()) {
        switch (digits.back()) {
        case 'K':
        case 'k': unit = 1ull << 10; break;
        case 'M':
        case 'm': unit = 1ull << 20; break;
        case 'G':
        case 'g': unit = 1ull << 30; break;
        default: break;
        }
        if (unit != 1) digits.pop_back();
    }
    const std::string range =
        option + " must be bytes per second from 1K to 1024G (800K, 50M, 1G), not " + text;
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
        digits.size() > 13) {
        throw badInput(range);
    }
    const uint64_t count = std::stoull(digits);
    if (count > kMaxRate / unit || count * unit < kMinRate) throw badInput(range);
    return count * unit;
}
