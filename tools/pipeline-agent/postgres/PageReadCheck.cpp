#include "postgres/PageReadCheck.h"

#include <algorithm>

#include "postgres/PageChecksum.h"

void PageReadCheck::read(const char* data, std::size_t length, uint64_t offset) {
    if (offset != m_next) {  // out of order: start again at the next page
        m_carry.clear();
        const uint64_t skip = (kPageBytes - offset % kPageBytes) % kPageBytes;
        m_next = offset + length;
        if (skip >= length) return;
        data += skip;
        length -= skip;
        offset += skip;
    }
    m_next = offset + length;
    uint64_t pageOffset = offset - m_carry.size();
    while (length > 0) {
        const std::size_t take = std::min(length, kPageBytes - m_carry.size());
        if (m_carry.empty() && take == kPageBytes) {
            check(data, pageOffset);
            pageOffset += kPageBytes;
        } else {
            m_carry.append(data, take);
            if (m_carry.size() == kPageBytes) {
                check(m_carry.data(), pageOffset);
                m_carry.clear();
                pageOffset += kPageBytes;
            }
        }
        data += take;
        length -= take;
    }
}

void PageReadCheck::check(const char* page, uint64_t offset) {
    ++m_checked;
    const auto number = static_cast<uint32_t>(offset / kPageBytes);
    const uint32_t block = m_firstBlock + number;
    if (verifyPage(page, block, m_startLsn) == PageVerdict::Corrupt) m_bad(number, block);
}
