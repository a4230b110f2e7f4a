#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/fake/FakePlatform.h"
#include "restore/RestorePipelineSetup.h"

// A restore job on the fake platform. Every test ends by destroying the job
// and checking that each archive object made was deleted exactly once.
class RestoreFixture : public ::testing::Test {
protected:
    // A problem the fake sees (a read with nothing scripted) fails the test.
    RestoreFixture() {
        fake.setProblemHandler([](const std::string& problem) { ADD_FAILURE() << problem; });
    }

    void TearDown() override {
        job.reset();
        EXPECT_EQ(fake.liveArchives(), 0);
        EXPECT_EQ(fake.archivesDeleted(), fake.archivesMade());
    }

    // Stream n's archive file: Trellan id 2, archive file 100+n, group 7+n,
    // restored from offset 1000*n.
    static RestoreArchiveInfo file(int n, bool readAll = true) {
        RestoreArchiveInfo info;
        info.subclientId = 50 + n;
        info.trellanId = 2;
        info.archiveOpenParam = 60 + n;
        info.archiveObjectParam = -n;
        info.afileId = 100 + n;
        info.groupNumber = 7 + n;
        info.reserved = 0xEEEE;
        info.seekOffset = 1000 * n;
        info.readAll = readAll;
        return info;
    }

    static std::vector<RestoreArchiveInfo> files(int count) {
        std::vector<RestoreArchiveInfo> list;
        for (int n = 1; n <= count; ++n) list.push_back(file(n));
        return list;
    }

    // Opens files(count) with a first request and forgets its calls.
    void openFiles(int count) {
        job->setRestoreArchiveFileInfoList(files(count));
        ASSERT_TRUE(job->setupPipeline());
        fake.clearJournal();
    }

    std::vector<std::string> logTexts() const {
        std::vector<std::string> texts;
        for (const auto& line : fake.logs()) texts.push_back(line.text);
        return texts;
    }

    std::vector<unsigned long> mapKeys() {
        std::vector<unsigned long> keys;
        for (const auto& [stream, info] : job->getStreamPipeinfoMap()) keys.push_back(stream);
        return keys;
    }

    std::vector<unsigned long> sentCodes() const {
        std::vector<unsigned long> codes;
        for (const auto& call : fake.calls(fakeplatform::Op::SendXDRMessage)) {
            codes.push_back(call.message->code);
        }
        return codes;
    }

    fakeplatform::FakePlatform fake;
    std::unique_ptr<RestorePipelineSetup> job =
        std::make_unique<RestorePipelineSetup>(0xA1A2A3A4A5ULL, 0xB1B2UL);
};
