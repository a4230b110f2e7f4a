#pragma once

// When S3Client tries a request again, and how long it waits first.

#include <chrono>
#include <random>
#include <string_view>

#include "platform/local/objectstore/HttpTransport.h"

namespace localplatform::objectstore {

struct RetryPolicy {
  int maxAttempts = 5;  // tries in all, the first included (at least 1)
  std::chrono::milliseconds baseDelay{200};
  std::chrono::milliseconds maxDelay{20'000};
  // Whether a request that got no answer within its timeouts is tried
  // again. When not, such a request fails at once, and the client takes
  // the server as gone: its later requests fail without being sent (see
  // S3Client), so that no command waits on a silent server for longer
  // than one timeout.
  bool retryUnanswered = true;
};

enum class Verdict { success, retry, fail };

// What an answer means for the attempt: a transport failure (no connection,
// a timeout, a broken transfer), 5xx, 429, and an S3 error code SlowDown,
// InternalError or ServiceUnavailable in any answer are worth another try;
// other 3xx and 4xx fail at once; 2xx succeeds. s3Code is the <Code> of an
// error body ("" when none).
Verdict classify(const TransportResult& result, std::string_view s3Code);

// True for the S3 error codes that say "try again later".
bool isRetryableCode(std::string_view s3Code);

// The wait before attempt `attempt` + 1 (attempt counts from 1): exponential
// in attempt, capped at maxDelay, with equal jitter: a uniform draw from the
// upper half of [0, min(maxDelay, baseDelay * 2^(attempt-1))].
std::chrono::milliseconds backoffDelay(const RetryPolicy& policy, int attempt, std::mt19937_64& random);

}  // namespace localplatform::objectstore
