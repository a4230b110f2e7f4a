// A store's bytes in object storage, against a scripted S3 server: the
// requests that make, write, finish, abandon and read archive data and small
// files, in order, with their bodies; what a failure leaves behind (an
// aborted upload, a removed object) and the line it reports. Retries wait
// nothing (recorded sleeps).

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "ScriptedServer.h"
#include "platform/local/objectstore/S3Client.h"
#include "platform/local/storage/ObjectStorage.h"

namespace os = localplatform::objectstore;
using localplatform::EntryStatus;
using localplatform::ObjectStorage;
using localplatform::ObjectStoreSettings;
using localplatform::StorageFile;
using namespace std::chrono_literals;

namespace {

constexpr const char* kData = "s3://b/st/files/1.arch";

std::string uploadCreated() {
    return "<InitiateMultipartUploadResult><Bucket>b</Bucket><Key>st/files/1.arch</Key>"
           "<UploadId>UP1</UploadId></InitiateMultipartUploadResult>";
}
std::string completed() {
    return "<CompleteMultipartUploadResult><Key>st/files/1.arch</Key><ETag>\"e-2\"</ETag>"
           "</CompleteMultipartUploadResult>";
}
std::string errorBody(const std::string& code) {
    return "<?xml version=\"1.0\"?>\n<Error><Code>" + code + "</Code><Message>m</Message></Error>";
}
ScriptedAnswer etag(int n) { return ScriptedAnswer(200, "", {{"ETag", "\"p" + std::to_string(n) + "\""}}); }
ScriptedAnswer sized(unsigned long long size) {
    return ScriptedAnswer(200, "", {{"Content-Length", std::to_string(size)}, {"ETag", "\"x\""}});
}

class ObjectStorageTest : public ::testing::Test {
protected:
    ObjectStoreSettings settings(std::size_t partSize = 4, int partLimit = 10) {
        ObjectStoreSettings made;
        made.bucket = "b";
        made.prefix = "st/";
        made.s3.endpoint = server_.endpoint();
        made.s3.region = "us-east-1";
        made.s3.pathStyle = true;
        made.s3.retry = os::RetryPolicy{2, 1ms, 1ms};
        made.s3.timeouts.connect = 500ms;
        made.s3.timeouts.idle = 2s;
        made.s3.sleep = [](std::chrono::milliseconds) {};
        made.credentials = os::Credentials{"KEY", "SECRET", ""};
        made.partSize = partSize;
        made.partLimit = partLimit;
        made.readAhead = 8;
        return made;
    }
    std::unique_ptr<ObjectStorage> storage(ObjectStoreSettings made) {
        return std::make_unique<ObjectStorage>(
            made, [this](const std::string& line) { reported_.push_back(line); });
    }
    std::unique_ptr<ObjectStorage> storage() { return storage(settings()); }
    // "METHOD target" of every request so far.
    std::vector<std::string> calls() const {
        std::vector<std::string> out;
        for (const auto& r : server_.requests()) out.push_back(r.method + " " + r.target);
        return out;
    }
    bool append(StorageFile& file, const std::string& text) {
        return file.append(text.data(), text.size(), nullptr);
    }

    ScriptedServer server_;
    std::vector<std::string> reported_;
};

TEST_F(ObjectStorageTest, ArchiveDataOfOnePartIsUploadedCompletedAndCheckedAtFinish) {
    auto objects = storage();
    server_.answer(404);  // nothing has the name yet
    auto file = objects->createExclusive(kData, {});
    ASSERT_TRUE(file);
    ASSERT_TRUE(append(*file, "abc"));
    ASSERT_TRUE(file->sync());
    // Nothing is uploaded before a part is full or the file is finished.
    EXPECT_EQ(server_.requests().size(), 1u);
    server_.answer(ScriptedAnswer(200, uploadCreated()));
    server_.answer(etag(1));
    server_.answer(ScriptedAnswer(200, completed()));
    server_.answer(sized(3));
    ASSERT_TRUE(file->finish());
    EXPECT_EQ(calls(), (std::vector<std::string>{
                           "HEAD /b/st/files/1.arch", "POST /b/st/files/1.arch?uploads=",
                           "PUT /b/st/files/1.arch?partNumber=1&uploadId=UP1",
                           "POST /b/st/files/1.arch?uploadId=UP1", "HEAD /b/st/files/1.arch"}));
    const auto requests = server_.requests();
    EXPECT_EQ(requests[2].body, "abc");
    EXPECT_NE(requests[3].body.find("<PartNumber>1</PartNumber><ETag>\"p1\"</ETag>"),
              std::string::npos)
        << requests[3].body;
    unsigned long long size = 0;
    ASSERT_TRUE(file->size(&size));
    EXPECT_EQ(size, 3u);
    // Finished is finished: a second call sends nothing, and the file going
    // away aborts nothing.
    EXPECT_TRUE(file->finish());
    file.reset();
    EXPECT_EQ(server_.requests().size(), 5u);
    EXPECT_TRUE(reported_.empty());
}

TEST_F(ObjectStorageTest, PartsGoOutAsTheyFillAndGrowWithTheObject) {
    // A limit of 10: every part doubles (4, 8, 16, 32 bytes...).
    auto objects = storage(settings(4, 10));
    server_.answer(404);
    auto file = objects->createExclusive(kData, {});
    ASSERT_TRUE(file);
    server_.answer(ScriptedAnswer(200, uploadCreated()));
    for (int n = 1; n <= 3; ++n) server_.answer(etag(n));
    std::string all;
    for (int i = 0; i < 14; ++i) {
        const std::string chunk(3, static_cast<char>('a' + i));
        all += chunk;
        ASSERT_TRUE(append(*file, chunk)) << i;
    }
    // 42 bytes: parts of 4, 8 and 16 are out already; 14 wait.
    ASSERT_EQ(server_.requests().size(), 5u);
    server_.answer(etag(4));
    server_.answer(ScriptedAnswer(200, completed()));
    server_.answer(sized(42));
    ASSERT_TRUE(file->finish());
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 8u);
    std::string joined;
    const std::size_t expected[] = {4, 8, 16, 14};
    for (int n = 0; n < 4; ++n) {
        const auto& part = requests[2 + n];
        EXPECT_EQ(part.target, "/b/st/files/1.arch?partNumber=" + std::to_string(n + 1) +
                                   "&uploadId=UP1");
        EXPECT_EQ(part.body.size(), expected[n]) << "part " << n + 1;
        joined += part.body;
    }
    EXPECT_EQ(joined, all);
    const std::string& completion = requests[6].body;
    for (int n = 1; n <= 4; ++n) {
        EXPECT_NE(completion.find("<PartNumber>" + std::to_string(n) + "</PartNumber><ETag>\"p" +
                                  std::to_string(n) + "\"</ETag>"),
                  std::string::npos)
            << completion;
    }
}

TEST_F(ObjectStorageTest, AFailedCompletionAbortsTheUploadAndEveryLaterCallFails) {
    auto objects = storage();
    server_.answer(404);
    auto file = objects->createExclusive(kData, {});
    ASSERT_TRUE(append(*file, "xy"));
    server_.answer(ScriptedAnswer(200, uploadCreated()));
    server_.answer(etag(1));
    server_.answer(ScriptedAnswer(400, errorBody("InvalidPart")));
    server_.answer(204);  // the abort
    errno = 0;
    EXPECT_FALSE(file->finish());
    EXPECT_EQ(errno, EIO);
    const auto made = calls();
    ASSERT_EQ(made.size(), 5u);
    EXPECT_EQ(made[4], "DELETE /b/st/files/1.arch?uploadId=UP1");
    ASSERT_EQ(reported_.size(), 1u);
    EXPECT_EQ(reported_[0],
              "CompleteMultipartUpload s3://b/st/files/1.arch failed: HTTP 400 InvalidPart after 1 "
              "attempt");
    EXPECT_FALSE(file->finish());
    EXPECT_FALSE(append(*file, "z"));
    file.reset();
    EXPECT_EQ(server_.requests().size(), 5u) << "aborted twice, or sent after the failure";
}

TEST_F(ObjectStorageTest, ACompletionAnswered200WithAnErrorBodyIsAFailure) {
    auto objects = storage();
    server_.answer(404);
    auto file = objects->createExclusive(kData, {});
    ASSERT_TRUE(append(*file, "xy"));
    server_.answer(ScriptedAnswer(200, uploadCreated()));
    server_.answer(etag(1));
    server_.answer(ScriptedAnswer(200, errorBody("EntityTooSmall")));
    server_.answer(204);
    EXPECT_FALSE(file->finish());
    const auto made = calls();
    ASSERT_EQ(made.size(), 5u);
    EXPECT_EQ(made[4], "DELETE /b/st/files/1.arch?uploadId=UP1");
    ASSERT_EQ(reported_.size(), 1u);
    EXPECT_NE(reported_[0].find("HTTP 200 EntityTooSmall"), std::string::npos) << reported_[0];
}

TEST_F(ObjectStorageTest, AnObjectOfAnotherSizeAfterCompletionIsRemovedNotKept) {
    auto objects = storage(settings(8));
    server_.answer(404);
    auto file = objects->createExclusive(kData, {});
    ASSERT_TRUE(append(*file, "hello"));
    server_.answer(ScriptedAnswer(200, uploadCreated()));
    server_.answer(etag(1));
    server_.answer(ScriptedAnswer(200, completed()));
    server_.answer(sized(3));
    server_.answer(204);  // the object's removal
    EXPECT_FALSE(file->finish());
    const auto made = calls();
    ASSERT_EQ(made.size(), 6u);
    EXPECT_EQ(made[5], "DELETE /b/st/files/1.arch");
    ASSERT_EQ(reported_.size(), 1u);
    EXPECT_EQ(reported_[0],
              "the completed object s3://b/st/files/1.arch holds 3 bytes, not the 5 written; "
              "removed");
    file.reset();
    EXPECT_EQ(server_.requests().size(), 6u);
}

TEST_F(ObjectStorageTest, AFailedPartAbortsAndAnAbandonedWriterAbortsOnItsWayOut) {
    auto objects = storage();
    server_.answer(404);
    auto failing = objects->createExclusive(kData, {});
    server_.answer(ScriptedAnswer(200, uploadCreated()));
    server_.answer(ScriptedAnswer(403, errorBody("AccessDenied")));
    server_.answer(204);
    EXPECT_FALSE(append(*failing, "12345"));
    EXPECT_FALSE(failing->sync());
    EXPECT_EQ(calls().back(), "DELETE /b/st/files/1.arch?uploadId=UP1");

    server_.answer(404);
    auto dropped = objects->createExclusive("s3://b/st/files/2.arch", {});
    server_.answer(ScriptedAnswer(200, uploadCreated()));
    server_.answer(etag(1));
    ASSERT_TRUE(append(*dropped, "12345"));
    server_.answer(204);
    dropped.reset();
    EXPECT_EQ(calls().back(), "DELETE /b/st/files/2.arch?uploadId=UP1");
}

TEST_F(ObjectStorageTest, AnUploadThatWouldPassThePartLimitFails) {
    // A limit of 2 parts of 1 then 2 bytes: the third part is refused
    // before it is sent.
    auto objects = storage(settings(1, 2));
    server_.answer(404);
    auto file = objects->createExclusive(kData, {});
    server_.answer(ScriptedAnswer(200, uploadCreated()));
    server_.answer(etag(1));
    server_.answer(etag(2));
    server_.answer(204);
    EXPECT_FALSE(append(*file, "abcdefgh"));
    const auto made = calls();
    ASSERT_EQ(made.size(), 5u);
    EXPECT_EQ(made[4], "DELETE /b/st/files/1.arch?uploadId=UP1");
    ASSERT_FALSE(reported_.empty());
    EXPECT_EQ(reported_[0], "s3://b/st/files/1.arch would need more than 2 parts");
}

TEST_F(ObjectStorageTest, ReadsAskForTheReadAheadAndServeWhatFollowsFromIt) {
    auto objects = storage();
    server_.answer(sized(20));
    EntryStatus status;
    auto file = objects->openForReading("s3://b/st/files/1.arch", &status);
    ASSERT_TRUE(file);
    EXPECT_EQ(status.size, 20u);
    server_.answer(ScriptedAnswer(206, "ABCDEFGH", {{"Content-Range", "bytes 0-7/20"}}));
    char got[16] = {};
    ASSERT_EQ(file->readAt(got, 4, 0), 4);
    EXPECT_EQ(std::string(got, 4), "ABCD");
    ASSERT_EQ(file->readAt(got, 4, 4), 4);  // from the read-ahead
    EXPECT_EQ(std::string(got, 4), "EFGH");
    // A read that starts in what is held gets what is held; a seek back or
    // past it starts a new range.
    ASSERT_EQ(file->readAt(got, 4, 6), 2);
    EXPECT_EQ(std::string(got, 2), "GH");
    server_.answer(ScriptedAnswer(206, "st", {{"Content-Range", "bytes 18-19/20"}}));
    ASSERT_EQ(file->readAt(got, 10, 18), 2);
    EXPECT_EQ(std::string(got, 2), "st");
    EXPECT_EQ(file->readAt(got, 10, 20), 0);
    server_.answer(ScriptedAnswer(206, "bcdefghi", {{"Content-Range", "bytes 1-8/20"}}));
    ASSERT_EQ(file->readAt(got, 4, 1), 4);
    EXPECT_EQ(std::string(got, 4), "bcde");
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].header("range"), "bytes=0-7");
    EXPECT_EQ(requests[2].header("range"), "bytes=18-19");
    EXPECT_EQ(requests[3].header("range"), "bytes=1-8");
}

TEST_F(ObjectStorageTest, ReadsInOrderFetchRangesAheadOnceTheyReadTwelveAndEachOnce) {
    auto objects = storage();  // ranges of 8 bytes
    std::string bytes;
    for (int i = 0; i < 128; ++i) bytes += static_cast<char>('A' + i % 26);
    const auto range = [&](unsigned from) {
        return ScriptedAnswer(206, bytes.substr(from, 8),
                              {{"Content-Range", "bytes " + std::to_string(from) + "-" +
                                                     std::to_string(from + 7) + "/128"}});
    };
    const auto asked = [](unsigned from, unsigned to) {
        std::vector<std::string> ranges;
        for (unsigned at = from; at < to; at += 8) {
            ranges.push_back("bytes=" + std::to_string(at) + "-" + std::to_string(at + 7));
        }
        return ranges;
    };
    const auto ranges = [&](std::size_t first) {
        std::vector<std::string> got;
        const auto requests = server_.requests();
        for (std::size_t i = first; i < requests.size(); ++i) got.push_back(requests[i].header("range"));
        return got;
    };
    // Opens the object with its ranges below `answered` scripted, reads it
    // in order up to `upTo` and closes it (which waits for what is in
    // flight, so that the requests then are all there are): the ranges asked.
    const auto readInOrder = [&](unsigned answered, unsigned upTo) {
        const std::size_t first = server_.requests().size() + 1;
        server_.answer(sized(128));
        auto file = objects->openForReading("s3://b/st/files/1.arch", nullptr);
        EXPECT_TRUE(file);
        if (!file) return std::vector<std::string>{};
        for (unsigned from = 0; from < answered; from += 8) server_.answer(range(from));
        char got[8];
        for (unsigned long long offset = 0; offset < upTo; offset += 8) {
            EXPECT_EQ(file->readAt(got, 8, offset), 8) << offset;
        }
        file.reset();
        return ranges(first);
    };
    // Eleven ranges: nothing fetched ahead. Twelve: the thirteenth is
    // fetched before it is asked for.
    EXPECT_EQ(readInOrder(88, 88), asked(0, 88));
    EXPECT_EQ(readInOrder(104, 96), asked(0, 104));
    // The whole object in order, each range fetched once, then a seek.
    server_.answer(sized(128));
    auto file = objects->openForReading("s3://b/st/files/1.arch", nullptr);
    ASSERT_TRUE(file);
    for (unsigned from = 0; from < 128; from += 8) server_.answer(range(from));
    server_.answer(ScriptedAnswer(206, bytes.substr(2, 8), {{"Content-Range", "bytes 2-9/128"}}));
    std::string read;
    char got[8];
    for (unsigned long long offset = 0; offset < 128; offset += 8) {
        ASSERT_EQ(file->readAt(got, 8, offset), 8) << offset;
        read.append(got, 8);
    }
    EXPECT_EQ(read, bytes);
    EXPECT_EQ(file->readAt(got, 8, 128), 0);
    ASSERT_EQ(file->readAt(got, 8, 2), 8);
    EXPECT_EQ(std::string(got, 8), bytes.substr(2, 8));
    file.reset();
    auto expected = asked(0, 128);
    expected.push_back("bytes=2-9");
    EXPECT_EQ(ranges(27), expected);
    EXPECT_TRUE(reported_.empty());
}

TEST_F(ObjectStorageTest, AReadThatKeepsFailingNamesTheObjectAndLastStatus) {
    auto objects = storage();
    server_.answer(sized(20));
    auto file = objects->openForReading("s3://b/st/files/1.arch", nullptr);
    ASSERT_TRUE(file);
    server_.answer(ScriptedAnswer(503, errorBody("SlowDown")));
    server_.answer(ScriptedAnswer(503, errorBody("SlowDown")));
    char got[4];
    errno = 0;
    EXPECT_EQ(file->readAt(got, 4, 0), -1);
    EXPECT_EQ(errno, EIO);
    ASSERT_EQ(reported_.size(), 1u);
    EXPECT_EQ(reported_[0],
              "GET object range s3://b/st/files/1.arch failed: HTTP 503 SlowDown after 2 attempts");
    // Another client error fails at once: a missing object is ENOENT.
    server_.answer(404);
    server_.answer(ScriptedAnswer(200, "<ListBucketResult></ListBucketResult>"));
    errno = 0;
    EXPECT_FALSE(objects->openForReading("s3://b/st/files/9.arch", nullptr));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(ObjectStorageTest, SmallFilesAreCreatedExclusivelyAndStoredWholeAtEachSync) {
    auto objects = storage();
    server_.answer(404);
    server_.answer(200);  // the empty object, if absent
    auto file = objects->createExclusive("s3://b/st/files/1.meta", {});
    ASSERT_TRUE(file);
    ASSERT_TRUE(append(*file, "one\n"));
    server_.answer(200);
    ASSERT_TRUE(file->sync());
    ASSERT_TRUE(append(*file, "two\n"));
    server_.answer(200);
    ASSERT_TRUE(file->sync());
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].header("if-none-match"), "*");
    EXPECT_EQ(requests[1].body, "");
    EXPECT_EQ(requests[2].body, "one\n");
    EXPECT_EQ(requests[3].body, "one\ntwo\n");
    EXPECT_EQ(requests[3].header("if-none-match"), "");

    // Taken: by the look first, or by the server's refusal.
    server_.answer(sized(3));
    errno = 0;
    EXPECT_FALSE(objects->createExclusive("s3://b/st/jobs/7.done", {}));
    EXPECT_EQ(errno, EEXIST);
    server_.answer(404);
    server_.answer(ScriptedAnswer(412, errorBody("PreconditionFailed")));
    errno = 0;
    EXPECT_FALSE(objects->createExclusive("s3://b/st/jobs/7.done", {}));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(server_.requests().size(), 7u);
}

TEST_F(ObjectStorageTest, APlacementIsOneConditionalPutOfTheWholeText) {
    auto objects = storage();
    server_.answer(404);
    server_.answer(200);
    ASSERT_TRUE(objects->placeDurably("s3://b/st/encryption-check", "check\n", {}));
    ASSERT_EQ(calls(), (std::vector<std::string>{"HEAD /b/st/encryption-check",
                                                 "PUT /b/st/encryption-check"}));
    EXPECT_EQ(server_.requests()[1].body, "check\n");
    EXPECT_EQ(server_.requests()[1].header("if-none-match"), "*");
    // Taken: by the look, or by the server's refusal; never an empty object.
    server_.answer(sized(6));
    errno = 0;
    EXPECT_FALSE(objects->placeDurably("s3://b/st/encryption-check", "other\n", {}));
    EXPECT_EQ(errno, EEXIST);
    server_.answer(404);
    server_.answer(ScriptedAnswer(412, errorBody("PreconditionFailed")));
    errno = 0;
    EXPECT_FALSE(objects->placeDurably("s3://b/st/encryption-check", "other\n", {}));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(server_.requests().size(), 5u);
    // Archive data is only ever its upload's.
    errno = 0;
    EXPECT_FALSE(objects->placeDurably(kData, "x", {}));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(server_.requests().size(), 5u);
}

TEST_F(ObjectStorageTest, AServerWithoutConditionalPutsGetsALookThenAPlainPut) {
    auto objects = storage();
    server_.answer(404);
    server_.answer(ScriptedAnswer(501, errorBody("NotImplemented")));
    server_.answer(200);
    ASSERT_TRUE(objects->createExclusive("s3://b/st/store.ini.new-1", {}));
    server_.answer(404);
    server_.answer(200);
    ASSERT_TRUE(objects->createExclusive("s3://b/st/store.ini.new-2", {}));
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 5u) << "NotImplemented retried, or asked again";
    EXPECT_EQ(requests[1].header("if-none-match"), "*");
    EXPECT_EQ(requests[2].header("if-none-match"), "");
    EXPECT_EQ(requests[4].method, "PUT");
    EXPECT_EQ(requests[4].header("if-none-match"), "");
}

TEST_F(ObjectStorageTest, AReplacementIsOnePutOfTheWholeTextAndNeverOfArchiveData) {
    auto objects = storage();
    server_.answer(200);
    ASSERT_TRUE(objects->replaceDurably("s3://b/st/retention.ini", "keep-last=2\n", {}));
    ASSERT_EQ(calls(), std::vector<std::string>{"PUT /b/st/retention.ini"});
    EXPECT_EQ(server_.requests()[0].body, "keep-last=2\n");
    EXPECT_EQ(server_.requests()[0].header("if-none-match"), "");

    // A PUT that keeps failing: EIO, and the line names the object.
    server_.answer(503);
    server_.answer(503);
    errno = 0;
    EXPECT_FALSE(objects->replaceDurably("s3://b/st/retention.ini", "keep-last=3\n", {}));
    EXPECT_EQ(errno, EIO);
    ASSERT_EQ(reported_.size(), 1u);
    EXPECT_NE(reported_[0].find("st/retention.ini"), std::string::npos) << reported_[0];

    // Archive data is only ever its upload's.
    errno = 0;
    EXPECT_FALSE(objects->replaceDurably(kData, "x", {}));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(server_.requests().size(), 3u);
}

TEST_F(ObjectStorageTest, DirectoriesAreImplicitAndListingsNameWhatIsBelow) {
    auto objects = storage();
    EntryStatus status;
    ASSERT_TRUE(objects->status("s3://b/st", &status));  // the root: no request
    EXPECT_EQ(status.kind, EntryStatus::Kind::Directory);
    ASSERT_TRUE(objects->makeDirectory("s3://b/st/files", {}));
    server_.answer(404);
    ASSERT_TRUE(objects->status("s3://b/st/files", &status));
    EXPECT_EQ(status.kind, EntryStatus::Kind::Directory);
    server_.answer(ScriptedAnswer(
        200,
        "<ListBucketResult><IsTruncated>false</IsTruncated>"
        "<Contents><Key>st/files/1.arch</Key><Size>5</Size></Contents>"
        "<Contents><Key>st/files/1.meta</Key><Size>9</Size></Contents>"
        "<Contents><Key>st/jobs/3.done</Key><Size>1</Size></Contents></ListBucketResult>"));
    std::vector<std::string> names;
    ASSERT_TRUE(objects->list("s3://b/st", &names));
    EXPECT_EQ(names, (std::vector<std::string>{"files", "jobs"}));
    EXPECT_EQ(server_.requests().back().target, "/b?list-type=2&prefix=st%2F");
    // Nothing outside the store's root is reached.
    errno = 0;
    EXPECT_FALSE(objects->status("s3://b/other/x", &status));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(objects->status("s3://b/st/../x", &status));
    EXPECT_FALSE(objects->lock("s3://b/st/jobs/1.lock", true, {}));
    EXPECT_EQ(errno, ENOTSUP);
    EXPECT_EQ(server_.requests().size(), 2u);
}

TEST_F(ObjectStorageTest, WhatItSaysItCannotDoItRefusesWithoutARequestOrMakesOfOthers) {
    auto objects = storage();
    const localplatform::StorageCapabilities claimed = objects->capabilities();
    // Known before a storage is made, for a store not opened yet.
    EXPECT_EQ(claimed, ObjectStorage::kCapabilities);
    EXPECT_FALSE(claimed.rename || claimed.hardLinks || claimed.locks || claimed.appending ||
                 claimed.truncation || claimed.directories || claimed.hostFolder);
    EXPECT_TRUE(claimed.pendingWrites);

    errno = 0;
    EXPECT_FALSE(objects->rename("s3://b/st/a", "s3://b/st/b"));
    EXPECT_EQ(errno, ENOTSUP);
    errno = 0;
    EXPECT_FALSE(objects->lock("s3://b/st/jobs/1.lock", true, {}));
    EXPECT_EQ(errno, ENOTSUP);
    errno = 0;
    EXPECT_FALSE(objects->lockShared("s3://b/st/jobs/1.lock", true, {}));
    EXPECT_EQ(errno, ENOTSUP);
    errno = 0;
    EXPECT_FALSE(objects->openForAppending("s3://b/st/logs/1.log", {}));
    EXPECT_EQ(errno, ENOTSUP);
    errno = 0;
    EXPECT_FALSE(objects->truncate("s3://b/st/files/1.meta", 0));
    EXPECT_EQ(errno, ENOTSUP);
    // A directory made is kept here, and syncing it asks nothing.
    ASSERT_TRUE(objects->makeDirectory("s3://b/st/jobs", {}));
    EXPECT_TRUE(objects->syncDirectory("s3://b/st/jobs"));
    EXPECT_TRUE(server_.requests().empty());

    // No hard link: a copy of the bytes under the new name, the old one left.
    server_.answer(sized(3));
    server_.answer(ScriptedAnswer(206, "abc", {{"Content-Range", "bytes 0-2/3"}}));
    server_.answer(404);
    server_.answer(200);
    ASSERT_TRUE(objects->link("s3://b/st/store.ini.new-1", "s3://b/st/store.ini"));
    const auto requests = server_.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().method + " " + requests.back().target, "PUT /b/st/store.ini");
    EXPECT_EQ(requests.back().body, "abc");
    // The copy appears whole, in one PUT that makes it only if absent: an
    // agent reading store.ini meanwhile never finds it empty.
    int puts = 0;
    for (const auto& request : requests) {
        EXPECT_NE(request.method, "DELETE");
        if (request.method != "PUT") continue;
        ++puts;
        EXPECT_EQ(request.body, "abc");
        EXPECT_EQ(request.header("if-none-match"), "*");
    }
    EXPECT_EQ(puts, 1);
}

TEST(ObjectStoreUrl, TakesItsOptionsAndRefusesOthersInOneLine) {
    const auto env = [](const char* name) -> const char* {
        const std::string n = name;
        if (n == "AWS_ACCESS_KEY_ID") return "K";
        if (n == "AWS_SECRET_ACCESS_KEY") return "S3CR3T";
        if (n == "AWS_ENDPOINT_URL") return "http://127.0.0.1:9";
        return nullptr;
    };
    ObjectStoreSettings parsed;
    std::string why;
    ASSERT_TRUE(localplatform::parseObjectStoreUrl(
        "s3://bkt/a/b?part_limit=1000&part_size=6MiB&path_style=0&region=eu-west-1", &parsed,
        &why, env))
        << why;
    EXPECT_EQ(parsed.bucket, "bkt");
    EXPECT_EQ(parsed.prefix, "a/b/");
    EXPECT_EQ(parsed.root(), "s3://bkt/a/b");
    EXPECT_EQ(parsed.partLimit, 1000);
    EXPECT_EQ(parsed.partSize, 6u << 20);
    EXPECT_EQ(parsed.s3.region, "eu-west-1");
    EXPECT_EQ(parsed.s3.endpoint, "http://127.0.0.1:9");
    EXPECT_FALSE(*parsed.s3.pathStyle);
    EXPECT_EQ(parsed.credentials.secretAccessKey, "S3CR3T");
    ASSERT_TRUE(localplatform::parseObjectStoreUrl("s3://bkt", &parsed, &why, env));
    EXPECT_EQ(parsed.root(), "s3://bkt");

    for (const std::string bad : {"s3://", "s3://bkt//x", "s3://bkt/../x", "s3://bkt?part_limit=9",
                                  "s3://bkt?colour=red", "s3://bkt?part_size=0"}) {
        why.clear();
        EXPECT_FALSE(localplatform::parseObjectStoreUrl(bad, &parsed, &why, env)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    }
    const auto none = [](const char* name) -> const char* {
        return std::string(name) == "AWS_SHARED_CREDENTIALS_FILE" ? "/nonexistent/credentials"
                                                                  : nullptr;
    };
    EXPECT_FALSE(localplatform::parseObjectStoreUrl("s3://bkt/p", &parsed, &why, none));
    EXPECT_EQ(why.rfind("no credentials for the store s3://bkt/p: ", 0), 0u) << why;
}

TEST(ObjectStoreParts, AStreamOfUnknownLengthFitsTheLimitAtEverySize) {
    for (const int limit : {1000, 10000}) {
        ObjectStoreSettings made;
        made.partLimit = limit;
        made.partSize = 8u << 20;
        unsigned long long total = 0;
        std::size_t previous = 0;
        for (int part = 1; part <= limit; ++part) {
            const std::size_t size = localplatform::partSizeFor(made, part);
            EXPECT_GE(size, previous) << "part " << part;
            EXPECT_LE(size, 5ull << 30) << "part " << part;
            previous = size;
            total += size;
        }
        // 8 MiB first parts: 800 GiB within 1,000 parts, 8 TiB within 10,000.
        EXPECT_GE(total, static_cast<unsigned long long>(limit) * 800ull * (1ull << 20)) << limit;
    }
}

}  // namespace
