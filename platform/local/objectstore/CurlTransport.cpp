#include "platform/local/objectstore/CurlTransport.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace localplatform::objectstore {

std::string HttpResponse::header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (key == name) return value;
  return "";
}

namespace {

// Past this a hint is not taken at its word: the body grows as it comes.
constexpr std::size_t kMaxBodyHint = std::size_t{64} << 20;

void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t collectBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// Keeps the headers of the last answer only: a new status line (after a
// "100 Continue", say) starts them afresh.
size_t collectHeader(char* data, size_t size, size_t count, void* user) {
  auto* headers = static_cast<HeaderList*>(user);
  std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) {
    headers->clear();
    return size * count;
  }
  auto colon = line.find(':');
  if (colon == std::string_view::npos) return size * count;
  std::string name(line.substr(0, colon));
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' '))
    value.remove_suffix(1);
  headers->emplace_back(std::move(name), std::string(value));
  return size * count;
}

TransportFailure failureOf(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return TransportFailure::connect;
    case CURLE_OPERATION_TIMEDOUT:
      return TransportFailure::timeout;
    default:
      return TransportFailure::other;
  }
}

}  // namespace

CurlTransport::CurlTransport() {
  initializeCurlOnce();
  handle_ = curl_easy_init();
  if (handle_ == nullptr) throw std::runtime_error("libcurl could not make a handle");
}

CurlTransport::~CurlTransport() { curl_easy_cleanup(static_cast<CURL*>(handle_)); }

TransportResult CurlTransport::send(const HttpRequest& request, const Timeouts& timeouts) {
  CURL* curl = static_cast<CURL*>(handle_);
  curl_easy_reset(curl);
  TransportResult result;
  char errorText[CURL_ERROR_SIZE] = "";

  curl_slist* headers = nullptr;
  for (const auto& [name, value] : request.headers) headers = curl_slist_append(headers, (name + ": " + value).c_str());
  // No "Expect: 100-continue" round trip, and no body type of curl's choosing.
  headers = curl_slist_append(headers, "Expect:");
  if (request.method == "POST" || request.method == "PUT") {
    bool typed = std::any_of(request.headers.begin(), request.headers.end(),
                             [](const auto& h) { return h.first == "Content-Type" || h.first == "content-type"; });
    if (!typed) headers = curl_slist_append(headers, "Content-Type:");
  }

  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  // The path goes out as signed: a key may hold "./" or "../", which curl
  // would otherwise fold away.
  curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.total.count()));
  // Under 1 byte/s for `idle` seconds ends the transfer: every wait for bytes
  // is bounded, not only the whole.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, std::max(1L, static_cast<long>(timeouts.idle.count())));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.response.body);
  // A range is read into one allocation of its size, not into a string
  // that doubles as it grows and leaves the sizes it outgrew behind.
  result.response.body.reserve(std::min<std::size_t>(request.bodyHint, kMaxBodyHint));
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &result.response.headers);

  if (request.method == "HEAD") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else if (request.method == "PUT" || request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    // Never a null pointer: curl would then read the body from stdin.
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.empty() ? "" : request.body.data());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  } else if (request.method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }

  CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  if (code != CURLE_OK) {
    result.failure = failureOf(code);
    result.error = errorText[0] ? errorText : curl_easy_strerror(code);
    return result;
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.response.status);
  return result;
}

}  // namespace localplatform::objectstore
