#pragma once

// AWS Signature Version 4 for requests to an S3-compatible object store:
// the canonical request, the string to sign, the derived signing key and the
// Authorization header, on OpenSSL's SHA-256 and HMAC-SHA256. Pure functions
// of their inputs (no clock, no environment): safe from any thread.

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace localplatform::objectstore {

struct Credentials;

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The payload hash of an empty body, and the marker that leaves a body out of
// the signature (the request then carries it unsigned, over TLS or loopback).
inline constexpr std::string_view kEmptyPayloadHash =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
inline constexpr std::string_view kUnsignedPayload = "UNSIGNED-PAYLOAD";

// Lowercase hex of SHA-256(data).
std::string sha256Hex(std::string_view data);
// The raw 32-byte HMAC-SHA256 of data under key.
std::string hmacSha256(std::string_view key, std::string_view data);
// Lowercase hex of any bytes.
std::string toHex(std::string_view bytes);

// Percent-encodes every byte but the unreserved A-Z a-z 0-9 - . _ ~ as %XY
// (uppercase hex); '/' is kept when keepSlash (for paths).
std::string uriEncode(std::string_view text, bool keepSlash);

// "20150830T123600Z" of a UTC time.
std::string amzDate(std::chrono::system_clock::time_point when);

// What is signed. path is the request path as sent, already encoded (an S3
// path is encoded exactly once, no dot segments removed); query holds raw
// (unencoded) names and values; headers are as sent, any case, and are all
// signed.
struct SigningInput {
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> query;
  HeaderList headers;
  std::string payloadHash;
};

// Every intermediate of one signature, for tests and for diagnosing a
// SignatureDoesNotMatch. Holds no secret: the signing key stays inside.
struct SignatureParts {
  std::string canonicalRequest;
  std::string stringToSign;
  std::string signedHeaders;  // "host;x-amz-date"
  std::string signature;      // lowercase hex
  std::string authorization;  // the Authorization header's value
};

// The canonical query string: names and values encoded, pairs sorted by name
// then value, joined by '&'.
std::string canonicalQuery(const std::vector<std::pair<std::string, std::string>>& query);

// Signs input as of date (the x-amz-date value, which the caller has put in
// input.headers when it sends one) for region and service with credentials'
// key pair. The session token is not added here: signRequest does.
SignatureParts computeSignature(const SigningInput& input, const Credentials& credentials,
                                std::string_view region, std::string_view service,
                                std::string_view date);

// The derived key HMAC(HMAC(HMAC(HMAC("AWS4" + secret, yyyymmdd), region),
// service), "aws4_request"), raw bytes.
std::string signingKey(std::string_view secret, std::string_view yyyymmdd,
                       std::string_view region, std::string_view service);

// Signs an outgoing request in place: adds x-amz-date (of now),
// x-amz-content-sha256 (payloadHash), x-amz-security-token when the
// credentials carry one, then signs every header in headers (which must
// already hold host) and appends Authorization. Returns the signature parts.
SignatureParts signRequest(std::string_view method, std::string_view path,
                           const std::vector<std::pair<std::string, std::string>>& query,
                           HeaderList& headers, std::string_view payloadHash,
                           const Credentials& credentials, std::string_view region,
                           std::string_view service, std::chrono::system_clock::time_point now);

}  // namespace localplatform::objectstore
