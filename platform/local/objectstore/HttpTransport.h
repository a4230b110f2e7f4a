#pragma once

// One HTTP exchange, as S3Client sees it: a request out, an answer or a
// transport failure back. S3Client owns one transport; tests put a scripted
// server or their own transport behind it.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/local/objectstore/SigV4.h"

namespace localplatform::objectstore {

// Bounds on every request, so that no wait on the network is open-ended.
struct Timeouts {
  // Establishing the TCP (and TLS) connection.
  std::chrono::milliseconds connect{10'000};
  // Any stretch without a byte moving either way once connected: sending the
  // body, waiting for the status line, reading the body (whole seconds, at
  // least 1).
  std::chrono::seconds idle{30};
  // The whole request, connection to last byte, whatever moves.
  std::chrono::milliseconds total{15 * 60 * 1000};
};

struct HttpRequest {
  std::string method;  // GET, HEAD, PUT, POST, DELETE
  std::string url;     // absolute, its path and query already encoded
  HeaderList headers;  // sent as given; Host among them
  std::string_view body;
  // The size the answer's body is expected to have, taken at once rather
  // than grown (doubled) as it arrives; 0: not known.
  std::size_t bodyHint = 0;
};

struct HttpResponse {
  long status = 0;
  HeaderList headers;  // names lowercase, of the final answer only
  std::string body;
  // The value of the named (lowercase) header; empty when absent.
  std::string header(std::string_view name) const;
};

enum class TransportFailure { none, connect, timeout, other };

struct TransportResult {
  TransportFailure failure = TransportFailure::none;
  std::string error;  // one line, when failure != none
  HttpResponse response;
};

// Thread rules: one transport serves one thread at a time.
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  // Sends request within timeouts and returns the answer (any status) or why
  // none came. Never throws for network trouble.
  virtual TransportResult send(const HttpRequest& request, const Timeouts& timeouts) = 0;
};

}  // namespace localplatform::objectstore
