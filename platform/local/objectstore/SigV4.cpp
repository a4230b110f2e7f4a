#include "platform/local/objectstore/SigV4.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>

#include "platform/local/objectstore/Credentials.h"

namespace localplatform::objectstore {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string toLower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), lower);
  return out;
}

// Trims the value and folds every run of spaces and tabs inside it to one
// space, as the canonical headers require.
std::string canonicalValue(std::string_view value) {
  std::string out;
  bool pendingSpace = false;
  for (char c : value) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) out += ' ';
    pendingSpace = false;
    out += c;
  }
  return out;
}

}  // namespace

std::string toHex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 0xf];
  }
  return out;
}

std::string sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 failed in OpenSSL");
  return toHex(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string hmacSha256(std::string_view key, std::string_view data) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac, &length) == nullptr)
    throw std::runtime_error("HMAC-SHA256 failed in OpenSSL");
  return std::string(reinterpret_cast<const char*>(mac), length);
}

std::string uriEncode(std::string_view text, bool keepSlash) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved || (keepSlash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 0xf];
    }
  }
  return out;
}

std::string amzDate(std::chrono::system_clock::time_point when) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[20];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

std::string canonicalQuery(const std::vector<std::pair<std::string, std::string>>& query) {
  std::vector<std::pair<std::string, std::string>> encoded;
  encoded.reserve(query.size());
  for (const auto& [name, value] : query) encoded.emplace_back(uriEncode(name, false), uriEncode(value, false));
  std::sort(encoded.begin(), encoded.end());
  std::string out;
  for (const auto& [name, value] : encoded) {
    if (!out.empty()) out += '&';
    out += name;
    out += '=';
    out += value;
  }
  return out;
}

std::string signingKey(std::string_view secret, std::string_view yyyymmdd, std::string_view region,
                       std::string_view service) {
  std::string key = hmacSha256("AWS4" + std::string(secret), yyyymmdd);
  key = hmacSha256(key, region);
  key = hmacSha256(key, service);
  return hmacSha256(key, "aws4_request");
}

SignatureParts computeSignature(const SigningInput& input, const Credentials& credentials,
                                std::string_view region, std::string_view service,
                                std::string_view date) {
  // Headers by lowercase name, in order; a repeated header's values are
  // joined by commas in the order given.
  std::vector<std::pair<std::string, std::string>> headers;
  for (const auto& [name, value] : input.headers) {
    std::string key = toLower(canonicalValue(name));
    auto same = std::find_if(headers.begin(), headers.end(), [&](const auto& h) { return h.first == key; });
    if (same != headers.end())
      same->second += "," + canonicalValue(value);
    else
      headers.emplace_back(key, canonicalValue(value));
  }
  std::stable_sort(headers.begin(), headers.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });

  SignatureParts parts;
  std::string canonicalHeaders;
  for (const auto& [name, value] : headers) {
    canonicalHeaders += name + ":" + value + "\n";
    if (!parts.signedHeaders.empty()) parts.signedHeaders += ';';
    parts.signedHeaders += name;
  }
  parts.canonicalRequest = input.method + "\n" + input.path + "\n" + canonicalQuery(input.query) + "\n" +
                           canonicalHeaders + "\n" + parts.signedHeaders + "\n" + input.payloadHash;

  std::string day(date.substr(0, 8));
  std::string scope = day + "/" + std::string(region) + "/" + std::string(service) + "/aws4_request";
  parts.stringToSign =
      "AWS4-HMAC-SHA256\n" + std::string(date) + "\n" + scope + "\n" + sha256Hex(parts.canonicalRequest);
  parts.signature = toHex(hmacSha256(signingKey(credentials.secretAccessKey, day, region, service),
                                     parts.stringToSign));
  parts.authorization = "AWS4-HMAC-SHA256 Credential=" + credentials.accessKeyId + "/" + scope +
                        ", SignedHeaders=" + parts.signedHeaders + ", Signature=" + parts.signature;
  return parts;
}

SignatureParts signRequest(std::string_view method, std::string_view path,
                           const std::vector<std::pair<std::string, std::string>>& query,
                           HeaderList& headers, std::string_view payloadHash,
                           const Credentials& credentials, std::string_view region,
                           std::string_view service, std::chrono::system_clock::time_point now) {
  std::string date = amzDate(now);
  headers.emplace_back("x-amz-date", date);
  headers.emplace_back("x-amz-content-sha256", std::string(payloadHash));
  if (!credentials.sessionToken.empty()) headers.emplace_back("x-amz-security-token", credentials.sessionToken);
  SigningInput input{std::string(method), std::string(path), query, headers, std::string(payloadHash)};
  SignatureParts parts = computeSignature(input, credentials, region, service, date);
  headers.emplace_back("Authorization", parts.authorization);
  return parts;
}

}  // namespace localplatform::objectstore
