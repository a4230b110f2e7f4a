#include "platform/local/store/StreamNumbering.h"

namespace localplatform {

unsigned long StreamNumbering::take(unsigned long long jobId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return ++m_last[jobId];
}

void StreamNumbering::giveBack(unsigned long long jobId, unsigned long stream) {
    std::lock_guard<std::mutex> lock(m_mutex);
    unsigned long& last = m_last[jobId];
    if (last == stream) --last;
}

void StreamNumbering::continueAfter(unsigned long long jobId, unsigned long last) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_last[jobId] = last;
}

}  // namespace localplatform
