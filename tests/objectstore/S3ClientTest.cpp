// S3Client against a scripted HTTP server on 127.0.0.1: what it sends, what
// it retries and how long it waits in between, where it gives up, and how a
// CompleteMultipartUpload is judged. Waits between retries are recorded, not
// slept; only the stall tests wait for real (their timeouts, about 350 ms in
// all).

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>

#include "ScriptedServer.h"
#include "platform/local/objectstore/RetryPolicy.h"
#include "platform/local/objectstore/S3Client.h"
#include "platform/local/objectstore/S3Xml.h"

namespace os = localplatform::objectstore;
using namespace std::chrono_literals;

namespace {

constexpr const char* kSecret = "TopSecretKeyThatMustNotLeak/123+";

class S3ClientTest : public ::testing::Test {
 protected:
  os::S3Options options(const std::string& endpoint) {
    os::S3Options o;
    o.endpoint = endpoint;
    o.region = "us-east-1";
    o.retry = os::RetryPolicy{5, 10ms, 80ms};
    o.timeouts.connect = 500ms;
    o.timeouts.idle = 2s;
    o.timeouts.total = 5s;
    o.sleep = [this](std::chrono::milliseconds d) { waits_.push_back(d); };
    return o;
  }
  std::unique_ptr<os::S3Client> client(os::S3Options o) {
    return std::make_unique<os::S3Client>("bucket", os::Credentials{"TESTKEY", kSecret, ""}, std::move(o));
  }
  std::unique_ptr<os::S3Client> client() { return client(options(server_.endpoint())); }

  static std::string error(const std::string& code) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>" + code +
           "</Code><Message>scripted</Message></Error>";
  }
  void expectOneCleanLine(const os::S3Status& status) {
    EXPECT_FALSE(status.message.empty());
    EXPECT_EQ(status.message.find('\n'), std::string::npos) << status.message;
    EXPECT_EQ(status.message.find(kSecret), std::string::npos) << status.message;
  }
  std::vector<std::string> methods() {
    std::vector<std::string> out;
    for (const auto& r : server_.requests()) out.push_back(r.method);
    return out;
  }

  ScriptedServer server_;
  std::vector<std::chrono::milliseconds> waits_;
};

const std::string kCompleted =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CompleteMultipartUploadResult><Location>x</Location>"
    "<Bucket>bucket</Bucket><Key>k</Key><ETag>\"abc-2\"</ETag></CompleteMultipartUploadResult>";

}  // namespace

TEST_F(S3ClientTest, SendsASignedPathStyleRequestAndRetriesA503) {
  server_.answer({503, error("ServiceUnavailable")});
  server_.answer({200, "", {{"ETag", "\"e\""}}});
  auto s3 = client();
  os::S3Status status = s3->putObject("dir/a b+c", "payload");
  ASSERT_TRUE(status) << status.message;
  EXPECT_EQ(status.attempts, 2);
  ASSERT_EQ(server_.requests().size(), 2u);
  ASSERT_EQ(waits_.size(), 1u);
  for (const auto& request : server_.requests()) {
    EXPECT_EQ(request.method, "PUT");
    EXPECT_EQ(request.target, "/bucket/dir/a%20b%2Bc");
    EXPECT_EQ(request.body, "payload");
    EXPECT_EQ(request.header("x-amz-content-sha256"), os::sha256Hex("payload"));
    EXPECT_TRUE(request.header("authorization").starts_with("AWS4-HMAC-SHA256 Credential=TESTKEY/"))
        << request.header("authorization");
    EXPECT_EQ(request.header("host"), server_.endpoint().substr(7));
    EXPECT_EQ(request.header("expect"), "");
  }
}

TEST_F(S3ClientTest, GivesUpAfterTheBoundedCountWaitingLongerEachTime) {
  for (int i = 0; i < 6; ++i) server_.answer({500, error("InternalError")});
  auto s3 = client();
  os::S3Status status = s3->putObject("k", "x");
  EXPECT_FALSE(status);
  EXPECT_EQ(status.attempts, 5);
  EXPECT_EQ(server_.requests().size(), 5u);
  EXPECT_EQ(status.httpStatus, 500);
  EXPECT_EQ(status.s3Code, "InternalError");
  EXPECT_EQ(status.message, "PUT object s3://bucket/k failed: HTTP 500 InternalError after 5 attempts");
  expectOneCleanLine(status);
  // Equal jitter over 10, 20, 40, 80 ms (the cap).
  ASSERT_EQ(waits_.size(), 4u);
  const long long ceilings[] = {10, 20, 40, 80};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_GE(waits_[i].count(), ceilings[i] / 2) << i;
    EXPECT_LE(waits_[i].count(), ceilings[i]) << i;
  }
}

TEST_F(S3ClientTest, ThrottlingIsRetried) {
  server_.answer({429, ""});
  server_.answer({503, error("SlowDown")});
  server_.answer({400, error("SlowDown")});  // whatever the status, SlowDown means later
  server_.answer({204, ""});
  auto s3 = client();
  os::S3Status status = s3->deleteObject("k");
  ASSERT_TRUE(status) << status.message;
  EXPECT_EQ(status.attempts, 4);
  EXPECT_EQ(methods(), (std::vector<std::string>{"DELETE", "DELETE", "DELETE", "DELETE"}));
}

TEST_F(S3ClientTest, OtherClientErrorsFailAtOnce) {
  server_.answer({403, error("AccessDenied")});
  server_.answer({404, error("NoSuchKey")});
  server_.answer({404, ""});
  auto s3 = client();
  os::S3Status denied = s3->putObject("k", "x");
  EXPECT_FALSE(denied);
  EXPECT_EQ(denied.attempts, 1);
  EXPECT_EQ(denied.message, "PUT object s3://bucket/k failed: HTTP 403 AccessDenied after 1 attempt");

  std::string data;
  os::S3Status missing = s3->getObjectRange("gone", 0, 10, data);
  EXPECT_TRUE(missing.notFound());
  EXPECT_EQ(missing.s3Code, "NoSuchKey");

  os::ObjectInfo info;
  os::S3Status head = s3->headObject("gone", info);
  EXPECT_TRUE(head.notFound());
  EXPECT_EQ(head.s3Code, "NotFound");
  EXPECT_EQ(server_.requests().size(), 3u);
  EXPECT_TRUE(waits_.empty());
}

TEST_F(S3ClientTest, NoServerIsRetriedThenReported) {
  // A port on 127.0.0.1 that nobody listens on: bound, then closed.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  auto s3 = client(options("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port))));
  os::ObjectInfo info;
  os::S3Status status = s3->headObject("k", info);
  EXPECT_FALSE(status);
  EXPECT_EQ(status.attempts, 5);
  EXPECT_EQ(status.httpStatus, 0);
  EXPECT_TRUE(status.message.starts_with("HEAD object s3://bucket/k failed: no answer (")) << status.message;
  expectOneCleanLine(status);
}

TEST_F(S3ClientTest, AStallBeyondTheTimeoutIsCutAndRetried) {
  server_.answer({200, "", {}, true});
  server_.answer({206, "0123456789", {{"Content-Range", "bytes 0-9/10"}}});
  auto o = options(server_.endpoint());
  o.timeouts.total = 100ms;
  auto s3 = client(o);
  auto start = std::chrono::steady_clock::now();
  std::string data;
  os::S3Status status = s3->getObjectRange("k", 0, 10, data);
  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(status) << status.message;
  EXPECT_EQ(status.attempts, 2);
  EXPECT_EQ(data, "0123456789");
  EXPECT_LT(took, 1s);
}

TEST_F(S3ClientTest, AStallOnEveryAttemptEndsInATimeoutError) {
  for (int i = 0; i < 2; ++i) server_.answer({200, "", {}, true});
  auto o = options(server_.endpoint());
  o.timeouts.total = 80ms;
  o.retry.maxAttempts = 2;
  auto s3 = client(o);
  os::S3Status status = s3->putObject("k", "x");
  EXPECT_FALSE(status);
  EXPECT_EQ(status.attempts, 2);
  EXPECT_NE(status.message.find("timed out"), std::string::npos) << status.message;
  expectOneCleanLine(status);
}

// With a media timeout, a silent server is waited on once: the request that
// went unanswered fails after one attempt, and later ones are not sent.
TEST_F(S3ClientTest, WithoutRetriesOfUnansweredRequestsASilentServerIsWaitedOnOnce) {
  for (int i = 0; i < 3; ++i) server_.answer({200, "", {}, true});
  auto o = options(server_.endpoint());
  o.timeouts.total = 80ms;
  o.retry.retryUnanswered = false;
  auto s3 = client(o);
  os::S3Status first = s3->putObject("k", "x");
  EXPECT_FALSE(first);
  EXPECT_EQ(first.attempts, 1);
  EXPECT_NE(first.message.find("timed out"), std::string::npos) << first.message;
  std::string data;
  os::S3Status later = s3->getObjectRange("k", 0, 1, data);
  EXPECT_FALSE(later);
  EXPECT_EQ(later.attempts, 0);
  EXPECT_NE(later.message.find("the server left an earlier request unanswered"), std::string::npos)
      << later.message;
  expectOneCleanLine(later);
  EXPECT_EQ(methods(), std::vector<std::string>{"PUT"});
  EXPECT_TRUE(waits_.empty());
}

TEST_F(S3ClientTest, RangeReadsAskForTheRangeAndCheckWhatCameBack) {
  server_.answer({206, "56789abcde", {{"Content-Range", "bytes 5-14/100"}}});
  server_.answer({206, "0123456789", {{"Content-Range", "bytes 0-9/100"}}});  // the wrong bytes
  server_.answer({200, "whole object, Range ignored"});
  auto s3 = client();
  std::string data;
  ASSERT_TRUE(s3->getObjectRange("k", 5, 10, data));
  EXPECT_EQ(data, "56789abcde");
  EXPECT_EQ(server_.requests()[0].header("range"), "bytes=5-14");
  os::S3Status wrong = s3->getObjectRange("k", 5, 10, data);
  EXPECT_FALSE(wrong);
  EXPECT_EQ(wrong.attempts, 1);
  EXPECT_FALSE(s3->getObjectRange("k", 5, 10, data));
  EXPECT_FALSE(s3->getObjectRange("k", 0, 0, data));
  EXPECT_EQ(server_.requests().size(), 3u);
}

// An object's bytes are data even when they read like an error document, and
// a key's dot segments reach the server as signed.
TEST_F(S3ClientTest, ObjectDataAndKeysGoThroughUntouched) {
  std::string lookalike = "<?xml version=\"1.0\"?><Error><Code>SlowDown</Code></Error>";
  server_.answer({206, lookalike, {{"Content-Range", "bytes 0-99/100"}}});
  server_.answer({200, ""});
  auto s3 = client();
  std::string data;
  os::S3Status status = s3->getObjectRange("a/../b", 0, 100, data);
  ASSERT_TRUE(status) << status.message;
  EXPECT_EQ(data, lookalike);
  EXPECT_EQ(status.attempts, 1);
  ASSERT_TRUE(s3->putObject("./c", "x"));
  EXPECT_EQ(server_.requests()[0].target, "/bucket/a/../b");
  EXPECT_EQ(server_.requests()[1].target, "/bucket/./c");
}

TEST_F(S3ClientTest, ListingsFollowEveryPage) {
  server_.answer({200,
                  "<ListBucketResult><IsTruncated>true</IsTruncated>"
                  "<Contents><Key>p/a&amp;b</Key><Size>3</Size><ETag>&quot;e1&quot;</ETag></Contents>"
                  "<Contents><Key>p/c</Key><Size>0</Size><ETag>\"e2\"</ETag></Contents>"
                  "<NextContinuationToken>tok/1=</NextContinuationToken></ListBucketResult>"});
  server_.answer({200,
                  "<ListBucketResult><IsTruncated>false</IsTruncated>"
                  "<Contents><Key>p/d</Key><Size>12345678901</Size><ETag>\"e3-2\"</ETag></Contents>"
                  "</ListBucketResult>"});
  auto s3 = client();
  std::vector<os::ObjectInfo> objects;
  ASSERT_TRUE(s3->listObjects("p/", objects));
  ASSERT_EQ(objects.size(), 3u);
  EXPECT_EQ(objects[0].key, "p/a&b");
  EXPECT_EQ(objects[0].etag, "e1");
  EXPECT_EQ(objects[2].size, 12345678901u);
  auto requests = server_.requests();
  EXPECT_EQ(requests[0].target, "/bucket?list-type=2&prefix=p%2F");
  EXPECT_EQ(requests[1].target, "/bucket?continuation-token=tok%2F1%3D&list-type=2&prefix=p%2F");
}

TEST_F(S3ClientTest, UploadListingsFollowEveryPageAndATruncatedListingThatStaysPutFails) {
  server_.answer({200,
                  "<ListMultipartUploadsResult><IsTruncated>true</IsTruncated>"
                  "<NextKeyMarker>p/b</NextKeyMarker><NextUploadIdMarker>u2</NextUploadIdMarker>"
                  "<Upload><Key>p/a</Key><UploadId>u1</UploadId></Upload>"
                  "<Upload><Key>p/b</Key><UploadId>u2</UploadId></Upload></ListMultipartUploadsResult>"});
  server_.answer({200,
                  "<ListMultipartUploadsResult><IsTruncated>false</IsTruncated>"
                  "<Upload><Key>p/c</Key><UploadId>u3</UploadId></Upload></ListMultipartUploadsResult>"});
  server_.answer({200, "<ListBucketResult><IsTruncated>true</IsTruncated></ListBucketResult>"});
  auto s3 = client();
  std::vector<os::UploadInfo> uploads;
  ASSERT_TRUE(s3->listMultipartUploads("p/", uploads));
  ASSERT_EQ(uploads.size(), 3u);
  EXPECT_EQ(uploads[1].uploadId, "u2");
  EXPECT_EQ(uploads[2].key, "p/c");
  EXPECT_EQ(server_.requests()[1].target, "/bucket?key-marker=p%2Fb&prefix=p%2F&upload-id-marker=u2&uploads=");
  std::vector<os::ObjectInfo> objects;
  os::S3Status endless = s3->listObjects("p/", objects);
  EXPECT_FALSE(endless);
  EXPECT_NE(endless.message.find("continuation token"), std::string::npos) << endless.message;
}

TEST_F(S3ClientTest, MultipartCallsCarryTheUploadAndPartNumbers) {
  server_.answer({200, "<InitiateMultipartUploadResult><UploadId>up/1</UploadId></InitiateMultipartUploadResult>"});
  server_.answer({200, "", {{"ETag", "\"etag1\""}}});
  server_.answer({200, kCompleted});
  auto s3 = client();
  std::string id, etag;
  ASSERT_TRUE(s3->createMultipartUpload("obj", id));
  EXPECT_EQ(id, "up/1");
  ASSERT_TRUE(s3->uploadPart("obj", id, 1, "part-one", etag));
  EXPECT_EQ(etag, "etag1");
  ASSERT_TRUE(s3->completeMultipartUpload("obj", id, {{1, etag, 8}}));
  auto requests = server_.requests();
  EXPECT_EQ(requests[0].method + " " + requests[0].target, "POST /bucket/obj?uploads=");
  EXPECT_EQ(requests[1].method + " " + requests[1].target, "PUT /bucket/obj?partNumber=1&uploadId=up%2F1");
  EXPECT_EQ(requests[2].method + " " + requests[2].target, "POST /bucket/obj?uploadId=up%2F1");
  EXPECT_EQ(requests[2].body,
            "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>\"etag1\"</ETag></Part>"
            "</CompleteMultipartUpload>");
}

// CompleteMultipartUpload may answer 200 and still fail: the body says so.
TEST_F(S3ClientTest, CompleteAnswering200WithAnErrorBodyFails) {
  server_.answer({200, error("InvalidPart")});
  auto s3 = client();
  os::S3Status status = s3->completeMultipartUpload("obj", "u", {{1, "a", 5}, {2, "b", 1}});
  EXPECT_FALSE(status);
  EXPECT_EQ(status.s3Code, "InvalidPart");
  EXPECT_EQ(status.message, "CompleteMultipartUpload s3://bucket/obj failed: HTTP 200 InvalidPart after 1 attempt");
  EXPECT_EQ(methods(), std::vector<std::string>{"POST"});
}

TEST_F(S3ClientTest, CompleteAnswering200InternalErrorIsTriedAgainWithoutALookup) {
  server_.answer({200, error("InternalError")});
  server_.answer({200, kCompleted});
  auto s3 = client();
  os::S3Status status = s3->completeMultipartUpload("obj", "u", {{1, "a", 5}});
  ASSERT_TRUE(status) << status.message;
  EXPECT_EQ(methods(), (std::vector<std::string>{"POST", "POST"}));
}

TEST_F(S3ClientTest, ALostCompleteAnswerIsSettledByTheObjectsSize) {
  server_.answer({500, error("InternalError")});
  server_.answer({200, "", {{"Content-Length", "6"}, {"ETag", "\"x-2\""}}});  // HEAD: 5 + 1 bytes
  auto s3 = client();
  os::S3Status status = s3->completeMultipartUpload("obj", "u", {{1, "a", 5}, {2, "b", 1}});
  ASSERT_TRUE(status) << status.message;
  EXPECT_EQ(methods(), (std::vector<std::string>{"POST", "HEAD"}));
}

TEST_F(S3ClientTest, AnObjectOfAnotherSizeDoesNotCountAsComplete) {
  server_.answer({200, "", {}, true});                          // the answer never comes
  server_.answer({200, "", {{"Content-Length", "5"}}});         // HEAD: 5 bytes, not 6
  server_.answer({404, error("NoSuchUpload")});                 // the retry: the upload is gone
  server_.answer({200, "", {{"Content-Length", "5"}}});         // HEAD again: still 5
  auto o = options(server_.endpoint());
  o.timeouts.total = 100ms;
  auto s3 = client(o);
  os::S3Status status = s3->completeMultipartUpload("obj", "u", {{1, "a", 5}, {2, "b", 1}});
  EXPECT_FALSE(status);
  EXPECT_EQ(status.s3Code, "NoSuchUpload");
  EXPECT_NE(status.message.find("the upload is gone"), std::string::npos) << status.message;
  expectOneCleanLine(status);
  EXPECT_EQ(methods(), (std::vector<std::string>{"POST", "HEAD", "POST", "HEAD"}));
}

TEST_F(S3ClientTest, ALostAnswerWithNoObjectYetLetsTheRetryFinish) {
  server_.answer({502, ""});
  server_.answer({404, ""});  // HEAD: not there yet
  server_.answer({200, kCompleted});
  auto s3 = client();
  os::S3Status status = s3->completeMultipartUpload("obj", "u", {{1, "a", 7}});
  ASSERT_TRUE(status) << status.message;
  EXPECT_EQ(methods(), (std::vector<std::string>{"POST", "HEAD", "POST"}));
}

TEST_F(S3ClientTest, AbortIsDoneWhenTheUploadIsGoneOnlyAfterALostAnswer) {
  server_.answer({500, ""});
  server_.answer({404, error("NoSuchUpload")});
  server_.answer({404, error("NoSuchUpload")});
  auto s3 = client();
  EXPECT_TRUE(s3->abortMultipartUpload("obj", "u"));
  os::S3Status never = s3->abortMultipartUpload("obj", "u");
  EXPECT_FALSE(never);
  EXPECT_EQ(never.s3Code, "NoSuchUpload");
}

TEST(S3Options, EndpointRegionAndAddressingComeFromTheEnvironment) {
  std::map<std::string, std::string> vars{{"AWS_ENDPOINT_URL", "http://127.0.0.1:9/"},
                                          {"AWS_DEFAULT_REGION", "eu-west-3"}};
  auto env = [&](const char* name) -> const char* {
    auto it = vars.find(name);
    return it == vars.end() ? nullptr : it->second.c_str();
  };
  os::S3Options o = os::resolveOptions({}, env);
  EXPECT_EQ(o.endpoint, "http://127.0.0.1:9/");
  EXPECT_EQ(o.region, "eu-west-3");
  EXPECT_TRUE(*o.pathStyle);

  vars["AWS_REGION"] = "ap-south-1";
  vars.erase("AWS_ENDPOINT_URL");
  o = os::resolveOptions({}, env);
  EXPECT_EQ(o.region, "ap-south-1");
  EXPECT_EQ(o.endpoint, "https://s3.ap-south-1.amazonaws.com");
  EXPECT_FALSE(*o.pathStyle);

  vars.clear();
  os::S3Options given;
  given.endpoint = "https://objects.example:8443";
  given.pathStyle = false;
  o = os::resolveOptions(given, env);
  EXPECT_EQ(o.region, "us-east-1");
  EXPECT_FALSE(*o.pathStyle);

  for (const char* bad : {"127.0.0.1:9", "ftp://h", "http://", "http://h/base/path", "http://u:p@h"}) {
    os::S3Options wrong;
    wrong.endpoint = bad;
    EXPECT_THROW(os::resolveOptions(wrong, env), std::invalid_argument) << bad;
  }
}

TEST(S3Options, S3Urls) {
  std::string bucket, prefix;
  ASSERT_TRUE(os::parseS3Url("s3://b", bucket, prefix));
  EXPECT_EQ(bucket, "b");
  EXPECT_EQ(prefix, "");
  ASSERT_TRUE(os::parseS3Url("s3://b/store/x", bucket, prefix));
  EXPECT_EQ(prefix, "store/x/");
  EXPECT_FALSE(os::parseS3Url("s3:///x", bucket, prefix));
  EXPECT_FALSE(os::parseS3Url("http://b/x", bucket, prefix));
}

TEST(S3Xml, ElementsByExactNameAtAnyDepth) {
  std::string xml = "<?xml version=\"1.0\"?><R><UploadId>no</UploadId><Upload id=\"1\"><UploadId>u&lt;1</UploadId>"
                    "</Upload><Upload/></R>";
  auto uploads = os::xmlElements(xml, "Upload");
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_EQ(os::xmlText(uploads[0], "UploadId"), "u<1");
  EXPECT_EQ(uploads[1], "");
  EXPECT_FALSE(os::isXmlError(xml));
  EXPECT_TRUE(os::isXmlError("<?xml version=\"1.0\"?>\n<Error><Code>X</Code></Error>"));
  EXPECT_FALSE(os::isXmlError("<Errors/>"));
  EXPECT_EQ(os::xmlUnescape("&#233;&#x41;&amp;&bogus;"), "\xc3\xa9" "A&&bogus;");
  EXPECT_EQ(os::xmlEscape("a<\"&'>"), "a&lt;&quot;&amp;&apos;&gt;");
}

TEST(RetryPolicy, VerdictsByAnswer) {
  auto answer = [](long status) {
    os::TransportResult r;
    r.response.status = status;
    return r;
  };
  os::TransportResult refused;
  refused.failure = os::TransportFailure::connect;
  EXPECT_EQ(os::classify(refused, ""), os::Verdict::retry);
  EXPECT_EQ(os::classify(answer(200), ""), os::Verdict::success);
  EXPECT_EQ(os::classify(answer(204), ""), os::Verdict::success);
  EXPECT_EQ(os::classify(answer(500), ""), os::Verdict::retry);
  EXPECT_EQ(os::classify(answer(503), "SlowDown"), os::Verdict::retry);
  EXPECT_EQ(os::classify(answer(429), ""), os::Verdict::retry);
  EXPECT_EQ(os::classify(answer(400), "RequestTimeout"), os::Verdict::retry);
  EXPECT_EQ(os::classify(answer(400), "InvalidArgument"), os::Verdict::fail);
  EXPECT_EQ(os::classify(answer(403), ""), os::Verdict::fail);
  EXPECT_EQ(os::classify(answer(301), ""), os::Verdict::fail);
}

TEST(RetryPolicy, DelaysStayWithinTheirCeilingAndTheCap) {
  os::RetryPolicy policy{20, 100ms, 1000ms};
  std::mt19937_64 random(7);
  for (int attempt = 1; attempt <= 20; ++attempt) {
    long long ceiling = std::min<long long>(1000, 100LL << std::min(attempt - 1, 20));
    for (int i = 0; i < 50; ++i) {
      auto d = os::backoffDelay(policy, attempt, random).count();
      EXPECT_GE(d, ceiling / 2) << attempt;
      EXPECT_LE(d, ceiling) << attempt;
    }
  }
  EXPECT_EQ(os::backoffDelay(os::RetryPolicy{3, 0ms, 0ms}, 2, random).count(), 0);
}
