#pragma once

// HttpTransport over one libcurl easy handle, kept between requests so that
// the connection is reused.

#include <memory>

#include "platform/local/objectstore/HttpTransport.h"

namespace localplatform::objectstore {

class CurlTransport final : public HttpTransport {
 public:
  // Initializes libcurl once per process (thread-safe) and makes the handle.
  // Throws std::runtime_error when libcurl cannot make one.
  CurlTransport();
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  // See HttpTransport::send. Only http and https are followed; redirects are
  // not. One thread at a time.
  TransportResult send(const HttpRequest& request, const Timeouts& timeouts) override;

 private:
  void* handle_;
};

}  // namespace localplatform::objectstore
