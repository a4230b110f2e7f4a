#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The page checks of one relation file as its bytes are read, in order, by
// reads of any length: a page cut by a read's end waits for the next read's
// first bytes. A read that does not follow the one before (the file is read
// out of order) drops the cut page and starts again at the next page
// boundary: that page goes unchecked. One thread at a time.
class PageReadCheck {
public:
    // Called for each page whose checksum fails (verifyPage's Corrupt): its
    // number in the file and its block number in the relation.
    using BadPage = std::function<void(uint32_t page, uint32_t block)>;

    // firstBlock: the relation's block number of the file's first page;
    // startLsn: the backup's start (a page written since is not checked).
    PageReadCheck(uint32_t firstBlock, uint64_t startLsn, BadPage bad)
        : m_firstBlock(firstBlock), m_startLsn(startLsn), m_bad(std::move(bad)) {}

    // The next read: length bytes of the file at offset.
    void read(const char* data, std::size_t length, uint64_t offset);

    // How many whole pages were checked.
    uint64_t checked() const { return m_checked; }

private:
    void check(const char* page, uint64_t offset);

    uint32_t m_firstBlock;
    uint64_t m_startLsn;
    BadPage m_bad;
    std::string m_carry;  // the start of a page cut by the last read
    uint64_t m_next = 0;  // where the next read should begin
    uint64_t m_checked = 0;
};
