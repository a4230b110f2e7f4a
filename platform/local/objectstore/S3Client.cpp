#include "platform/local/objectstore/S3Client.h"

#include <cstdlib>
#include <random>
#include <stdexcept>
#include <thread>

#include "platform/local/objectstore/CurlTransport.h"
#include "platform/local/objectstore/S3Xml.h"
#include "platform/local/objectstore/SigV4.h"

namespace localplatform::objectstore {

namespace {

std::string envValue(const EnvLookup& env, const char* name) {
  const char* value = env ? env(name) : std::getenv(name);
  return value ? value : "";
}

std::string unquote(std::string text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
  return text;
}

// Splits "http://host:port/" into scheme and host:port.
void splitEndpoint(const std::string& endpoint, std::string& scheme, std::string& hostPort) {
  auto sep = endpoint.find("://");
  if (sep == std::string::npos) throw std::invalid_argument("object store endpoint " + endpoint + " has no http:// or https://");
  scheme = endpoint.substr(0, sep);
  if (scheme != "http" && scheme != "https")
    throw std::invalid_argument("object store endpoint " + endpoint + " is neither http nor https");
  hostPort = endpoint.substr(sep + 3);
  if (!hostPort.empty() && hostPort.back() == '/') hostPort.pop_back();
  if (hostPort.empty() || hostPort.find_first_of("/?#@ ") != std::string::npos)
    throw std::invalid_argument("object store endpoint " + endpoint + " must be scheme://host[:port]");
}

bool parseUnsigned(std::string_view text, std::uint64_t& value) {
  if (text.empty()) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// A request that succeeded on its attempts-th attempt, with the answer's
// status.
S3Status succeeded(long httpStatus, int attempts) {
  S3Status ok;
  ok.ok = true;
  ok.httpStatus = httpStatus;
  ok.attempts = attempts;
  return ok;
}

// The body of CompleteMultipartUpload for parts, and their total size.
std::string completionBody(const std::vector<CompletedPart>& parts, std::uint64_t& total) {
  std::string body = "<CompleteMultipartUpload>";
  total = 0;
  for (const auto& part : parts) {
    body += "<Part><PartNumber>" + std::to_string(part.partNumber) + "</PartNumber><ETag>\"" +
            xmlEscape(part.etag) + "\"</ETag></Part>";
    total += part.size;
  }
  return body + "</CompleteMultipartUpload>";
}

// What an answer to CompleteMultipartUpload says: a 200 with an <Error>
// body failed after the answer began (code is its error code); a 200
// without the result element was cut off, as good as lost (code becomes
// "NoResult"); anything else as for every request.
Verdict completionVerdict(const TransportResult& result, std::string& code) {
  if (result.failure != TransportFailure::none || result.response.status < 200 ||
      result.response.status >= 300) {
    return classify(result, code);
  }
  if (!code.empty()) return isRetryableCode(code) ? Verdict::retry : Verdict::fail;
  if (xmlElements(result.response.body, "CompleteMultipartUploadResult").empty()) {
    code = "NoResult";
    return Verdict::retry;
  }
  return Verdict::success;
}

}  // namespace

S3Options resolveOptions(S3Options options, const EnvLookup& env) {
  if (options.region.empty()) options.region = envValue(env, "AWS_REGION");
  if (options.region.empty()) options.region = envValue(env, "AWS_DEFAULT_REGION");
  if (options.region.empty()) options.region = "us-east-1";
  bool ownEndpoint = true;
  if (options.endpoint.empty()) options.endpoint = envValue(env, "AWS_ENDPOINT_URL");
  if (options.endpoint.empty()) {
    options.endpoint = "https://s3." + options.region + ".amazonaws.com";
    ownEndpoint = false;
  }
  std::string scheme, hostPort;
  splitEndpoint(options.endpoint, scheme, hostPort);
  if (!options.pathStyle) options.pathStyle = ownEndpoint;
  if (options.retry.maxAttempts < 1) options.retry.maxAttempts = 1;
  if (!options.sleep) options.sleep = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
  if (!options.now) options.now = [] { return std::chrono::system_clock::now(); };
  return options;
}

bool parseS3Url(std::string_view url, std::string& bucket, std::string& prefix) {
  if (!url.starts_with("s3://")) return false;
  url.remove_prefix(5);
  auto slash = url.find('/');
  bucket = std::string(url.substr(0, slash));
  prefix = slash == std::string_view::npos ? "" : std::string(url.substr(slash + 1));
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  return !bucket.empty();
}

struct S3Client::Jitter {
  std::mt19937_64 random{std::random_device{}()};
};

struct S3Client::Call {
  std::string operation;  // "PUT object", "UploadPart #3", ...
  std::string key;        // the object, or the prefix of a listing
  std::string method;
  std::vector<std::pair<std::string, std::string>> query;
  std::string_view body;
  HeaderList headers;
  bool onBucket = false;  // addressed to the bucket (a listing), not to key
  // A 2xx answer may still be an <Error> document (CompleteMultipartUpload);
  // elsewhere a 2xx body is data, whatever it holds.
  bool errorIn2xx = false;
  std::size_t bodyHint = 0;  // HttpRequest::bodyHint
};

struct S3Client::Attempt {
  TransportResult result;
  std::string code;  // S3 error code of the answer, "" when none
};

S3Client::S3Client(std::string bucket, Credentials credentials, S3Options options,
                   std::unique_ptr<HttpTransport> transport)
    : bucket_(std::move(bucket)),
      credentials_(std::move(credentials)),
      options_(resolveOptions(std::move(options))),
      transport_(std::move(transport)),
      jitter_(std::make_unique<Jitter>()) {
  if (bucket_.empty()) throw std::invalid_argument("an S3 client needs a bucket name");
  splitEndpoint(options_.endpoint, scheme_, hostPort_);
  if (!transport_) transport_ = std::make_unique<CurlTransport>();
}

S3Client::~S3Client() = default;

std::string S3Client::describe(const Call& call) const {
  return call.operation + " s3://" + bucket_ + "/" + call.key;
}

void S3Client::pause(int attempt) { options_.sleep(backoffDelay(options_.retry, attempt, jitter_->random)); }

S3Client::Attempt S3Client::sendOnce(const Call& call) {
  std::string host = *options_.pathStyle ? hostPort_ : bucket_ + "." + hostPort_;
  std::string path = *options_.pathStyle ? "/" + uriEncode(bucket_, false) : std::string();
  std::string key = call.onBucket ? std::string() : call.key;
  if (!key.empty() || !*options_.pathStyle) path += "/" + uriEncode(key, true);
  std::string query = canonicalQuery(call.query);

  HttpRequest request;
  request.method = call.method;
  request.url = scheme_ + "://" + host + path + (query.empty() ? "" : "?" + query);
  request.body = call.body;
  request.bodyHint = call.bodyHint;
  request.headers = call.headers;
  request.headers.emplace_back("Host", host);
  std::string payloadHash = call.body.empty() ? std::string(kEmptyPayloadHash) : sha256Hex(call.body);
  signRequest(call.method, path, call.query, request.headers, payloadHash, credentials_, options_.region, "s3",
              options_.now());

  Attempt attempt;
  attempt.result = transport_->send(request, options_.timeouts);
  const HttpResponse& response = attempt.result.response;
  bool success = response.status >= 200 && response.status < 300;
  if (attempt.result.failure == TransportFailure::none && (!success || call.errorIn2xx) && isXmlError(response.body))
    attempt.code = xmlText(response.body, "Code");
  else if (attempt.result.failure == TransportFailure::none && response.status == 404 && call.method == "HEAD")
    attempt.code = "NotFound";
  return attempt;
}

S3Status S3Client::failure(const Call& call, const Attempt& last, int attempts, std::string_view why) const {
  S3Status status;
  status.attempts = attempts;
  status.httpStatus = last.result.failure == TransportFailure::none ? last.result.response.status : 0;
  status.s3Code = last.code;
  std::string what;
  if (last.result.failure != TransportFailure::none) {
    what = "no answer (" + last.result.error + ")";
  } else {
    what = "HTTP " + std::to_string(last.result.response.status);
    if (!last.code.empty()) what += " " + last.code;
  }
  if (!why.empty()) what = std::string(why) + "; last " + what;
  status.message = describe(call) + " failed: " + what + " after " + std::to_string(attempts) +
                   (attempts == 1 ? " attempt" : " attempts");
  return status;
}

S3Status S3Client::execute(const Call& call, HttpResponse* response,
                           const std::function<Verdict(const HttpResponse&, std::string& code)>& judge) {
  Attempt last;
  if (silent_.load()) {
    // A server that left a request unanswered for a whole timeout is not
    // waited on again by this client.
    last.result.failure = TransportFailure::timeout;
    last.result.error = "the server left an earlier request unanswered";
    return failure(call, last, 0);
  }
  for (int attempt = 1;; ++attempt) {
    last = sendOnce(call);
    Verdict verdict = classify(last.result, last.code);
    if (last.result.failure == TransportFailure::timeout && !options_.retry.retryUnanswered) {
      silent_.store(true);
      verdict = Verdict::fail;
    }
    // A server that lacks a feature (501 NotImplemented) lacks it next time.
    if (last.code == "NotImplemented") verdict = Verdict::fail;
    if (verdict == Verdict::success && judge) verdict = judge(last.result.response, last.code);
    if (verdict == Verdict::success) {
      S3Status ok;
      ok.ok = true;
      ok.httpStatus = last.result.response.status;
      ok.attempts = attempt;
      if (response) *response = std::move(last.result.response);
      return ok;
    }
    if (verdict == Verdict::fail || attempt >= options_.retry.maxAttempts) return failure(call, last, attempt);
    pause(attempt);
  }
}

S3Status S3Client::createBucket() {
  Call call{"CreateBucket", "", "PUT", {}, {}, {}, true};
  S3Status status = execute(call, nullptr);
  if (!status && status.s3Code == "BucketAlreadyOwnedByYou" &&
      status.httpStatus == 409) {
    status.ok = true;
    status.message.clear();
  }
  return status;
}

S3Status S3Client::putObject(const std::string& key, std::string_view data) {
  Call call{"PUT object", key, "PUT", {}, data, {{"Content-Type", "application/octet-stream"}}};
  return execute(call, nullptr);
}

S3Status S3Client::putObjectIfAbsent(const std::string& key, std::string_view data) {
  Call call{"PUT object (if absent)", key, "PUT", {}, data,
            {{"Content-Type", "application/octet-stream"}, {"If-None-Match", "*"}}};
  S3Status status = execute(call, nullptr);
  if (!status && status.httpStatus == 412 && status.s3Code.empty()) status.s3Code = "PreconditionFailed";
  return status;
}

S3Status S3Client::getObjectRange(const std::string& key, std::uint64_t offset, std::uint64_t length,
                                  std::string& out) {
  Call call{"GET object range", key, "GET", {}, {}, {}};
  if (length == 0) {
    S3Status refused;
    refused.message = describe(call) + " failed: an empty range";
    return refused;
  }
  call.headers.emplace_back("Range", "bytes=" + std::to_string(offset) + "-" + std::to_string(offset + length - 1));
  call.bodyHint = static_cast<std::size_t>(length);
  HttpResponse response;
  auto judge = [&](const HttpResponse& answer, std::string& code) {
    // A server that ignores Range answers 200 with the whole object: usable
    // only when the range starts at 0.
    if (answer.status == 206) {
      std::string range = answer.header("content-range");  // "bytes 5-9/100"
      if (!range.empty() && !range.starts_with("bytes " + std::to_string(offset) + "-")) {
        code = "WrongRange";
        return Verdict::fail;
      }
      if (answer.body.size() > length) {
        code = "WrongRange";
        return Verdict::fail;
      }
      return Verdict::success;
    }
    if (answer.status == 200 && offset == 0) return Verdict::success;
    code = "WrongRange";
    return Verdict::fail;
  };
  S3Status status = execute(call, &response, judge);
  if (status) {
    out = std::move(response.body);
    if (out.size() > length) out.resize(length);
  }
  return status;
}

S3Status S3Client::headObject(const std::string& key, ObjectInfo& info) {
  Call call{"HEAD object", key, "HEAD", {}, {}, {}};
  HttpResponse response;
  S3Status status = execute(call, &response, [](const HttpResponse& answer, std::string& code) {
    std::uint64_t size = 0;
    if (!parseUnsigned(answer.header("content-length"), size)) {
      code = "NoContentLength";
      return Verdict::fail;
    }
    return Verdict::success;
  });
  if (status) {
    info.key = key;
    parseUnsigned(response.header("content-length"), info.size);
    info.etag = unquote(response.header("etag"));
  }
  return status;
}

S3Status S3Client::deleteObject(const std::string& key) {
  Call call{"DELETE object", key, "DELETE", {}, {}, {}};
  return execute(call, nullptr);
}

S3Status S3Client::listObjects(const std::string& prefix, std::vector<ObjectInfo>& out, int pageSize) {
  out.clear();
  std::string token;
  int attempts = 0;
  while (true) {
    Call call{"LIST objects", prefix, "GET", {{"list-type", "2"}, {"prefix", prefix}}, {}, {}, true};
    if (pageSize != 1000) call.query.emplace_back("max-keys", std::to_string(pageSize));
    if (!token.empty()) call.query.emplace_back("continuation-token", token);
    HttpResponse response;
    S3Status status = execute(call, &response);
    attempts += status.attempts;
    if (!status) return status;
    for (std::string_view entry : xmlElements(response.body, "Contents")) {
      ObjectInfo info;
      info.key = xmlText(entry, "Key");
      parseUnsigned(xmlText(entry, "Size"), info.size);
      info.etag = unquote(xmlText(entry, "ETag"));
      out.push_back(std::move(info));
    }
    if (xmlText(response.body, "IsTruncated") != "true") {
      status.attempts = attempts;
      return status;
    }
    token = xmlText(response.body, "NextContinuationToken");
    if (token.empty()) {
      Attempt last;
      last.result.response.status = response.status;
      return failure(call, last, attempts, "a truncated listing without a continuation token");
    }
  }
}

S3Status S3Client::anyObjectUnder(const std::string& prefix, bool& found) {
  Call call{"LIST objects", prefix, "GET", {{"list-type", "2"}, {"max-keys", "1"}, {"prefix", prefix}}, {}, {}, true};
  HttpResponse response;
  S3Status status = execute(call, &response);
  found = status && !xmlElements(response.body, "Contents").empty();
  return status;
}

S3Status S3Client::createMultipartUpload(const std::string& key, std::string& uploadId) {
  Call call{"CreateMultipartUpload", key, "POST", {{"uploads", ""}}, {}, {{"Content-Type", "application/octet-stream"}}};
  HttpResponse response;
  S3Status status = execute(call, &response, [](const HttpResponse& answer, std::string& code) {
    if (xmlText(answer.body, "UploadId").empty()) {
      code = "NoUploadId";
      return Verdict::fail;
    }
    return Verdict::success;
  });
  if (status) uploadId = xmlText(response.body, "UploadId");
  return status;
}

S3Status S3Client::uploadPart(const std::string& key, const std::string& uploadId, int partNumber,
                              std::string_view data, std::string& etag) {
  Call call{"UploadPart #" + std::to_string(partNumber), key, "PUT",
            {{"partNumber", std::to_string(partNumber)}, {"uploadId", uploadId}}, data, {}};
  HttpResponse response;
  S3Status status = execute(call, &response, [](const HttpResponse& answer, std::string& code) {
    if (answer.header("etag").empty()) {
      code = "NoETag";
      return Verdict::fail;
    }
    return Verdict::success;
  });
  if (status) etag = unquote(response.header("etag"));
  return status;
}

S3Status S3Client::completeMultipartUpload(const std::string& key, const std::string& uploadId,
                                           const std::vector<CompletedPart>& parts) {
  std::uint64_t total = 0;
  const std::string body = completionBody(parts, total);
  Call call{"CompleteMultipartUpload", key, "POST", {{"uploadId", uploadId}}, body,
            {{"Content-Type", "application/xml"}}};
  call.errorIn2xx = true;

  // After an answer that may have been lost, the object itself says whether
  // the upload completed: there with the parts' total size, or not.
  auto completedAnyway = [&]() {
    ObjectInfo info;
    return headObject(key, info) && info.size == total;
  };

  bool answerLost = false;
  Attempt last;
  for (int attempt = 1;; ++attempt) {
    last = sendOnce(call);
    const auto& result = last.result;
    const Verdict verdict = completionVerdict(result, last.code);
    if (verdict == Verdict::success) return succeeded(result.response.status, attempt);
    if (verdict == Verdict::fail) {
      const bool gone = answerLost && last.code == "NoSuchUpload";
      if (gone && completedAnyway()) return succeeded(result.response.status, attempt);
      return failure(call, last, attempt,
                     gone ? "the upload is gone and the object is not of the parts' size"
                          : std::string_view());
    }
    // No answer, a cut-off one or a server failure: the join may have been
    // done all the same. A 200 <Error> is a definite "not done".
    bool lostNow = result.failure != TransportFailure::none || last.code == "NoResult" ||
                   result.response.status >= 500;
    if (lostNow) {
      answerLost = true;
      if (completedAnyway()) return succeeded(200, attempt);
    }
    if (attempt >= options_.retry.maxAttempts) return failure(call, last, attempt);
    pause(attempt);
  }
}

S3Status S3Client::abortMultipartUpload(const std::string& key, const std::string& uploadId) {
  Call call{"AbortMultipartUpload", key, "DELETE", {{"uploadId", uploadId}}, {}, {}};
  S3Status status = execute(call, nullptr);
  // Gone on a later attempt: an earlier one aborted it and its answer was lost.
  if (!status && status.s3Code == "NoSuchUpload" && status.attempts > 1) {
    status.ok = true;
    status.message.clear();
  }
  return status;
}

S3Status S3Client::listMultipartUploads(const std::string& prefix, std::vector<UploadInfo>& out) {
  out.clear();
  std::string keyMarker, idMarker;
  int attempts = 0;
  while (true) {
    Call call{"ListMultipartUploads", prefix, "GET", {{"uploads", ""}, {"prefix", prefix}}, {}, {}, true};
    if (!keyMarker.empty()) call.query.emplace_back("key-marker", keyMarker);
    if (!idMarker.empty()) call.query.emplace_back("upload-id-marker", idMarker);
    HttpResponse response;
    S3Status status = execute(call, &response);
    attempts += status.attempts;
    if (!status) return status;
    for (std::string_view entry : xmlElements(response.body, "Upload"))
      out.push_back(UploadInfo{xmlText(entry, "Key"), xmlText(entry, "UploadId")});
    if (xmlText(response.body, "IsTruncated") != "true") {
      status.attempts = attempts;
      return status;
    }
    std::string nextKey = xmlText(response.body, "NextKeyMarker");
    std::string nextId = xmlText(response.body, "NextUploadIdMarker");
    if (nextKey.empty() || (nextKey == keyMarker && nextId == idMarker)) {
      Attempt last;
      last.result.response.status = response.status;
      return failure(call, last, attempts, "a truncated listing that does not move on");
    }
    keyMarker = nextKey;
    idMarker = nextId;
  }
}

}  // namespace localplatform::objectstore
