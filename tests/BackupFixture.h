#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "backup/BackupPipelineSetup.h"
#include "platform/fake/FakePlatform.h"

// A backup job on the fake platform. Every test ends by destroying the job
// and checking that each archive object made was deleted exactly once.
class BackupFixture : public ::testing::Test {
protected:
    // A problem the fake sees (a read with nothing scripted) fails the test.
    BackupFixture() {
        fake.setProblemHandler([](const std::string& problem) { ADD_FAILURE() << problem; });
    }

    void TearDown() override {
        job.reset();
        EXPECT_EQ(fake.liveArchives(), 0);
        EXPECT_EQ(fake.archivesDeleted(), fake.archivesMade());
    }

    static CreateRet_t createRet(uint32_t trellanId, uint32_t groupNumber, uint32_t afileId) {
        CreateRet_t ret;
        for (int i = 0; i < 8; ++i) ret.leading[i] = static_cast<unsigned char>(0x10 + i);
        ret.trellanId = trellanId;
        ret.groupNumber = groupNumber;
        ret.afileId = afileId;
        for (int i = 0; i < 12; ++i) ret.trailing[i] = static_cast<unsigned char>(0x20 + i);
        return ret;
    }

    fakeplatform::FakePlatform fake;
    std::unique_ptr<BackupPipelineSetup> job = std::make_unique<BackupPipelineSetup>(
        0x1111222233334444ULL, 0x55UL, 0x100000007UL, "job text");
};
