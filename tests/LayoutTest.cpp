// The records are shared with the platform byte for byte. Offsets and sizes
// are checked where they are declared; these tests check the bytes that the
// records' constructors leave in memory.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/ArMgrClientAPI.h"
#include "platform/ArchiveRecords.h"
#include "platform/FsrMessages.h"
#include "restore/PipelineInfo.h"
#include "restore/RestoreArchiveInfo.h"

namespace {

template <typename Record>
uint64_t word64(const Record& record, size_t offset) {
    uint64_t value;
    std::memcpy(&value, reinterpret_cast<const char*>(&record) + offset, sizeof value);
    return value;
}

template <typename Record>
uint32_t word32(const Record& record, size_t offset) {
    uint32_t value;
    std::memcpy(&value, reinterpret_cast<const char*>(&record) + offset, sizeof value);
    return value;
}

TEST(LayoutTest, SetupRecordDefaults) {
    SetupPipelineArgs_t a;
    EXPECT_EQ(word32(a, 0), 0u);
    EXPECT_EQ(word32(a, 32), 0u);
    for (size_t offset : {8, 16, 24, 40, 80, 88, 96, 104, 152, 160, 168, 176, 192, 200}) {
        EXPECT_EQ(word64(a, offset), 0u) << "byte " << offset;
    }
    EXPECT_EQ(word64(a, 184), 1u);
    EXPECT_EQ(reinterpret_cast<const char*>(&a)[208], 0);
    EXPECT_TRUE(a.text48.empty());
    EXPECT_TRUE(a.setupText.empty());
}

TEST(LayoutTest, CreateRecordDefaults) {
    const CreateArgs_t a;
    EXPECT_TRUE(a.createText.empty());
    for (size_t offset = 32; offset < 120; offset += 8) {
        EXPECT_EQ(word64(a, offset), 0u) << "byte " << offset;
    }
}

TEST(LayoutTest, OpenRecordDefaults) {
    OpenArgs_t a;
    for (size_t offset : {0, 8, 16, 32, 40, 80}) EXPECT_EQ(word64(a, offset), 0u);
    EXPECT_EQ(word32(a, 24), 2u);
    EXPECT_TRUE(a.text48.empty());
}

TEST(LayoutTest, InvalidationRecordDefaults) {
    const InvalidateArchFilesByJobArgs_t a;
    EXPECT_TRUE(a.afileIds.empty());
    EXPECT_EQ(word64(a, 40), 0u);
    EXPECT_EQ(word64(a, 48), 0u);
    EXPECT_TRUE(a.text56.empty());
    const InvalidateArchFilesByJobRet_t r;
    EXPECT_EQ(word64(r, 0), 0u);
    EXPECT_EQ(word64(r, 8), 0u);
    EXPECT_TRUE(r.text16.empty());
}

TEST(LayoutTest, MessageBodyDefaults) {
    const FSROpenArchive open;
    for (size_t offset = 0; offset < sizeof open; offset += 8) EXPECT_EQ(word64(open, offset), 0u);
    const FSRSeekArchive element;
    for (size_t offset = 0; offset < sizeof element; offset += 8) {
        EXPECT_EQ(word64(element, offset), 0u);
    }
    const FSRSeekArchiveArray array;
    EXPECT_EQ(word32(array, 0), 0u);
    EXPECT_EQ(word64(array, 8), 0u);
}

TEST(LayoutTest, RestoreRecordsStartEmpty) {
    const PipelineInfo info;
    EXPECT_EQ(info.sessionHead, nullptr);
    EXPECT_EQ(info.archive, nullptr);
    const RestoreArchiveInfo entry;
    for (size_t offset = 0; offset < 64; offset += 8) EXPECT_EQ(word64(entry, offset), 0u);
    EXPECT_FALSE(entry.readAll);
}

}  // namespace
