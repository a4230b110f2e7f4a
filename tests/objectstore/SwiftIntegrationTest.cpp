// S3Client against a real S3-compatible store: the bucket that
// PIPELINESETUP_TEST_S3 (s3://BUCKET) names, reached through AWS_ENDPOINT_URL
// with the AWS_* credentials, as `.ci/objectstore start` prints them (Swift
// with s3api on 127.0.0.1). Without PIPELINESETUP_TEST_S3 the assignments
// come from the file PIPELINESETUP_TEST_S3_FILE names (the ctest fixture's,
// s3_server.sh); with neither, every test skips. Every test works under a
// prefix of its own and removes what it made.

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>

#include "platform/local/objectstore/S3Client.h"
#include "platform/local/objectstore/SigV4.h"

namespace os = localplatform::objectstore;

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

std::string md5Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  return os::toHex(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string out(size, '\0');
  for (auto& c : out) c = static_cast<char>(random());
  return out;
}

// Takes the fixture's KEY=VALUE lines into the environment, where the client
// looks for its endpoint, region and credentials.
void loadFixtureFile() {
  const char* url = std::getenv("PIPELINESETUP_TEST_S3");
  const char* file = std::getenv("PIPELINESETUP_TEST_S3_FILE");
  if ((url != nullptr && *url != '\0') || file == nullptr) return;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string name = line.substr(0, equals);
    if (name.starts_with("AWS_") || name == "PIPELINESETUP_TEST_S3")
      setenv(name.c_str(), line.substr(equals + 1).c_str(), 1);
  }
}

class SwiftIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    loadFixtureFile();
    const char* url = std::getenv("PIPELINESETUP_TEST_S3");
    if (url == nullptr || *url == '\0') GTEST_SKIP() << "PIPELINESETUP_TEST_S3 is not set (.ci/objectstore start)";
    std::string bucket, base;
    ASSERT_TRUE(os::parseS3Url(url, bucket, base)) << url;
    os::Credentials credentials;
    std::string error;
    ASSERT_TRUE(os::loadCredentials(credentials, error)) << error;
    os::S3Options options;
    options.timeouts.total = std::chrono::seconds(120);
    s3_ = std::make_unique<os::S3Client>(bucket, credentials, options);
    prefix_ = base + "it-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
  }
  void TearDown() override {
    if (!s3_) return;
    std::vector<os::UploadInfo> uploads;
    if (s3_->listMultipartUploads(prefix_, uploads))
      for (const auto& upload : uploads) s3_->abortMultipartUpload(upload.key, upload.uploadId);
    std::vector<os::ObjectInfo> objects;
    if (s3_->listObjects(prefix_, objects))
      for (const auto& object : objects) s3_->deleteObject(object.key);
  }

  // Uploads data as key in parts of partSize (the last takes the rest) and
  // completes it.
  os::S3Status multipart(const std::string& key, const std::string& data, std::size_t partSize) {
    std::string id;
    os::S3Status status = s3_->createMultipartUpload(key, id);
    if (!status) return status;
    std::vector<os::CompletedPart> parts;
    for (std::size_t at = 0, number = 1; at < data.size(); at += partSize, ++number) {
      std::string_view piece = std::string_view(data).substr(at, partSize);
      std::string etag;
      status = s3_->uploadPart(key, id, static_cast<int>(number), piece, etag);
      if (!status) return status;
      EXPECT_EQ(etag, md5Hex(piece)) << "part " << number;
      parts.push_back({static_cast<int>(number), etag, piece.size()});
    }
    return s3_->completeMultipartUpload(key, id, parts);
  }

  void expectObject(const std::string& key, const std::string& data) {
    os::ObjectInfo info;
    ASSERT_TRUE(s3_->headObject(key, info)) << key;
    EXPECT_EQ(info.size, data.size());
    // Bytes either side of every 5 MiB boundary, and the very end.
    for (std::size_t boundary = 5 * kMiB; boundary < data.size(); boundary += 5 * kMiB) {
      std::string got;
      ASSERT_TRUE(s3_->getObjectRange(key, boundary - 3, 6, got));
      EXPECT_EQ(got, data.substr(boundary - 3, 6)) << "at " << boundary;
    }
    std::string tail;
    ASSERT_TRUE(s3_->getObjectRange(key, data.size() - 1, 100, tail));
    EXPECT_EQ(tail, data.substr(data.size() - 1));
  }

  std::unique_ptr<os::S3Client> s3_;
  std::string prefix_;
};

}  // namespace

TEST_F(SwiftIntegration, PutGetHeadListDelete) {
  std::string key = prefix_ + "dir/name with space+plus";
  std::string data = randomBytes(1000, 1);
  ASSERT_TRUE(s3_->putObject(key, data));

  os::ObjectInfo info;
  ASSERT_TRUE(s3_->headObject(key, info));
  EXPECT_EQ(info.size, 1000u);
  EXPECT_EQ(info.etag, md5Hex(data));

  std::string got;
  ASSERT_TRUE(s3_->getObjectRange(key, 100, 50, got));
  EXPECT_EQ(got, data.substr(100, 50));
  ASSERT_TRUE(s3_->getObjectRange(key, 990, 50, got));  // runs past the end
  EXPECT_EQ(got, data.substr(990));
  os::S3Status beyond = s3_->getObjectRange(key, 1000, 10, got);
  EXPECT_FALSE(beyond);
  EXPECT_EQ(beyond.httpStatus, 416) << beyond.message;

  ASSERT_TRUE(s3_->putObject(prefix_ + "empty", ""));
  std::vector<os::ObjectInfo> objects;
  ASSERT_TRUE(s3_->listObjects(prefix_, objects));
  ASSERT_EQ(objects.size(), 2u);
  EXPECT_EQ(objects[0].key, key);
  EXPECT_EQ(objects[0].size, 1000u);
  EXPECT_EQ(objects[1].size, 0u);

  ASSERT_TRUE(s3_->deleteObject(key));
  EXPECT_TRUE(s3_->headObject(key, info).notFound());
  os::S3Status missing = s3_->getObjectRange(key, 0, 1, got);
  EXPECT_TRUE(missing.notFound());
  EXPECT_EQ(missing.s3Code, "NoSuchKey");
  EXPECT_TRUE(s3_->deleteObject(key)) << "deleting a missing object";
}

TEST_F(SwiftIntegration, ListingsPageThroughContinuationTokens) {
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(s3_->putObject(prefix_ + "k" + std::to_string(i), "x"));
  os::S3Status dots = s3_->putObject(prefix_ + "../outside", "x");  // a key, not a path
  ASSERT_TRUE(dots) << dots.message;
  std::vector<os::ObjectInfo> objects;
  ASSERT_TRUE(s3_->listObjects(prefix_ + "k", objects, 2));
  ASSERT_EQ(objects.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(objects[i].key, prefix_ + "k" + std::to_string(i));
}

TEST_F(SwiftIntegration, MultipartOfOnePart) {
  std::string data = randomBytes(64 * 1024, 2);
  os::S3Status status = multipart(prefix_ + "one", data, 5 * kMiB);
  ASSERT_TRUE(status) << status.message;
  expectObject(prefix_ + "one", data);
}

TEST_F(SwiftIntegration, MultipartOfTwoParts) {
  std::string data = randomBytes(5 * kMiB + 3, 3);
  os::S3Status status = multipart(prefix_ + "two", data, 5 * kMiB);
  ASSERT_TRUE(status) << status.message;
  expectObject(prefix_ + "two", data);
}

TEST_F(SwiftIntegration, MultipartOfManyParts) {
  std::string data = randomBytes(5 * 5 * kMiB + 12345, 4);
  os::S3Status status = multipart(prefix_ + "many", data, 5 * kMiB);
  ASSERT_TRUE(status) << status.message;
  expectObject(prefix_ + "many", data);
}

TEST_F(SwiftIntegration, ACompleteTheStoreRefusesIsAFailure) {
  // A first part under the 5 MiB minimum.
  std::string data = randomBytes(1024 * 1024 + 10, 5);
  os::S3Status status = multipart(prefix_ + "small", data, 1024 * 1024);
  EXPECT_FALSE(status);
  EXPECT_EQ(status.s3Code, "EntityTooSmall") << status.message;
  os::ObjectInfo info;
  EXPECT_TRUE(s3_->headObject(prefix_ + "small", info).notFound());
}

TEST_F(SwiftIntegration, AnAbortedUploadLeavesTheListing) {
  std::string key = prefix_ + "aborted";
  std::string id, other, etag;
  ASSERT_TRUE(s3_->createMultipartUpload(key, id));
  ASSERT_TRUE(s3_->createMultipartUpload(key + "-kept", other));
  ASSERT_TRUE(s3_->uploadPart(key, id, 1, randomBytes(1000, 6), etag));

  auto ids = [&]() {
    std::vector<os::UploadInfo> uploads;
    EXPECT_TRUE(s3_->listMultipartUploads(prefix_, uploads));
    std::vector<std::string> out;
    for (const auto& upload : uploads) out.push_back(upload.key + " " + upload.uploadId);
    std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_EQ(ids(), (std::vector<std::string>{key + " " + id, key + "-kept " + other}));
  ASSERT_TRUE(s3_->abortMultipartUpload(key, id));
  EXPECT_EQ(ids(), std::vector<std::string>{key + "-kept " + other});
  os::S3Status again = s3_->abortMultipartUpload(key, id);
  EXPECT_FALSE(again);
  EXPECT_EQ(again.s3Code, "NoSuchUpload");
}
