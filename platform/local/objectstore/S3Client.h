#pragma once

// A client of one bucket of an S3-compatible object store (AWS S3, or Swift
// with s3api in the tests): small objects, byte ranges, listings and
// multipart uploads, each request signed (SigV4), bounded in time and retried
// when the failure is worth retrying.
//
// Thread rules for the whole class: one S3Client per thread. A client keeps
// one connection (its transport) and a random generator for jitter; calls on
// one client from two threads at once are not allowed. Separate clients share
// nothing and may run side by side.
//
// Failures come back as an S3Status whose message is one line naming the
// operation, the object (s3://bucket/key) and the last HTTP status and S3
// error code, or the transport error: never the secret key nor a signature.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/local/objectstore/Credentials.h"
#include "platform/local/objectstore/HttpTransport.h"
#include "platform/local/objectstore/RetryPolicy.h"

namespace localplatform::objectstore {

struct S3Options {
  // "http://127.0.0.1:8080" or "https://host[:port]". Empty: $AWS_ENDPOINT_URL,
  // else AWS's regional endpoint https://s3.REGION.amazonaws.com.
  std::string endpoint;
  // Empty: $AWS_REGION, else $AWS_DEFAULT_REGION, else us-east-1.
  std::string region;
  // Unset: path-style (http://host/bucket/key) for an endpoint of one's own,
  // virtual-hosted (http://bucket.host/key) for AWS's.
  std::optional<bool> pathStyle;
  Timeouts timeouts;
  RetryPolicy retry;
  // How a retry waits (default std::this_thread::sleep_for); tests record.
  std::function<void(std::chrono::milliseconds)> sleep;
  // The signing clock (default system_clock::now).
  std::function<std::chrono::system_clock::time_point()> now;
};

// Fills what options leave empty from env (nullptr: the process's), as
// described in S3Options. Throws std::invalid_argument for an endpoint that is
// not http(s)://host[:port][/].
S3Options resolveOptions(S3Options options, const EnvLookup& env = nullptr);

// "s3://bucket" or "s3://bucket/prefix/": true with bucket and prefix ("" or
// "prefix/") set; false for anything else.
bool parseS3Url(std::string_view url, std::string& bucket, std::string& prefix);

struct S3Status {
  bool ok = false;
  long httpStatus = 0;  // of the last answer; 0 when none came
  std::string s3Code;   // the last answer's error code ("NoSuchKey", ...)
  int attempts = 0;
  std::string message;  // one line, when !ok
  explicit operator bool() const { return ok; }
  bool notFound() const { return httpStatus == 404; }
};

struct ObjectInfo {
  std::string key;
  std::uint64_t size = 0;
  std::string etag;  // without quotes
};

struct UploadInfo {
  std::string key;
  std::string uploadId;
};

struct CompletedPart {
  int partNumber = 0;
  std::string etag;  // as UploadPart returned it
  std::uint64_t size = 0;
};

class S3Client {
 public:
  // A client of bucket with credentials. transport: nullptr for libcurl. The
  // options are resolved (resolveOptions) here. Throws std::invalid_argument
  // for an empty bucket or a malformed endpoint.
  S3Client(std::string bucket, Credentials credentials, S3Options options = {},
           std::unique_ptr<HttpTransport> transport = nullptr);
  ~S3Client();
  S3Client(const S3Client&) = delete;
  S3Client& operator=(const S3Client&) = delete;

  const S3Options& options() const { return options_; }
  const std::string& bucket() const { return bucket_; }

  // Makes the bucket (PUT bucket). For test setups; "already yours" is
  // success.
  S3Status createBucket();

  // Stores data as key in one request, replacing any object of that name.
  // For small objects (S3 takes up to 5 GiB this way; use multipart beyond a
  // few MiB). On failure the old object, if any, is left as it was or has
  // been replaced whole: never a partial object.
  S3Status putObject(const std::string& key, std::string_view data);

  // Stores data as key only when no object of that name exists: the request
  // carries If-None-Match: *, and a server that honours it answers 412
  // (!ok, httpStatus 412, s3Code "PreconditionFailed") when one does. A
  // server that ignores the header replaces the object; callers that need
  // more than best effort look first (headObject).
  S3Status putObjectIfAbsent(const std::string& key, std::string_view data);

  // Reads bytes [offset, offset + length) of key into out (replaced). Fewer
  // bytes come back only where the object ends first. A range starting past
  // the end fails (InvalidRange, 416). length 0 is refused.
  S3Status getObjectRange(const std::string& key, std::uint64_t offset, std::uint64_t length, std::string& out);

  // The object's size and ETag. A missing object: !ok with notFound().
  S3Status headObject(const std::string& key, ObjectInfo& info);

  // Deletes key. Deleting a missing object succeeds (as S3 answers it).
  S3Status deleteObject(const std::string& key);

  // Every object whose key starts with prefix, in key order, all pages
  // (ListObjectsV2) of at most pageSize keys each. out is replaced; on
  // failure it holds the pages read.
  S3Status listObjects(const std::string& prefix, std::vector<ObjectInfo>& out, int pageSize = 1000);

  // Whether any object's key starts with prefix: one page of one key.
  S3Status anyObjectUnder(const std::string& prefix, bool& found);

  // Starts a multipart upload of key; uploadId is set on success. The caller
  // owns the upload from then on: it must complete or abort it, or it stays
  // (listed by listMultipartUploads) and its parts keep their space.
  S3Status createMultipartUpload(const std::string& key, std::string& uploadId);

  // Uploads part partNumber (1 to 10000) of the upload. Every part but the
  // last must be at least 5 MiB. etag is set on success; keep it, with the
  // size, for completeMultipartUpload. A retried part replaces itself.
  S3Status uploadPart(const std::string& key, const std::string& uploadId, int partNumber, std::string_view data,
                      std::string& etag);

  // Joins the parts (in partNumber order) into the object key. Succeeds only
  // when the store confirms it: a 200 answer whose body is an <Error> is a
  // failure (retried if the code says so). When an answer is lost (no
  // connection, a timeout, 5xx), the object is looked up (HEAD) and counts as
  // complete only if it exists with the parts' total size; a NoSuchUpload on
  // a later attempt is judged the same way. So key must be a name that no
  // other object of that size can hold, as a store's archive files are. On
  // failure the upload may still exist: abort it.
  S3Status completeMultipartUpload(const std::string& key, const std::string& uploadId,
                                   const std::vector<CompletedPart>& parts);

  // Abandons the upload and frees its parts. An upload that is already gone
  // on a retry (the first answer was lost) counts as aborted.
  S3Status abortMultipartUpload(const std::string& key, const std::string& uploadId);

  // The unfinished uploads whose keys start with prefix, all pages. out is
  // replaced.
  S3Status listMultipartUploads(const std::string& prefix, std::vector<UploadInfo>& out);

 private:
  struct Call;
  struct Attempt;
  Attempt sendOnce(const Call& call);
  S3Status execute(const Call& call, HttpResponse* response,
                   const std::function<Verdict(const HttpResponse&, std::string& code)>& judge = nullptr);
  S3Status failure(const Call& call, const Attempt& last, int attempts, std::string_view why = {}) const;
  std::string describe(const Call& call) const;
  void pause(int attempt);

  std::string bucket_;
  Credentials credentials_;
  S3Options options_;
  std::unique_ptr<HttpTransport> transport_;
  std::string scheme_;
  std::string hostPort_;
  struct Jitter;
  std::unique_ptr<Jitter> jitter_;
  // Set once a request went unanswered and retry.retryUnanswered is off.
  std::atomic<bool> silent_{false};
};

}  // namespace localplatform::objectstore
