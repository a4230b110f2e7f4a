#include "platform/local/objectstore/RetryPolicy.h"

#include <algorithm>

namespace localplatform::objectstore {

bool isRetryableCode(std::string_view s3Code) {
  return s3Code == "SlowDown" || s3Code == "InternalError" || s3Code == "ServiceUnavailable" ||
         s3Code == "RequestTimeout";
}

Verdict classify(const TransportResult& result, std::string_view s3Code) {
  if (result.failure != TransportFailure::none) return Verdict::retry;
  long status = result.response.status;
  if (isRetryableCode(s3Code) || status >= 500 || status == 429) return Verdict::retry;
  if (status >= 200 && status < 300) return Verdict::success;
  return Verdict::fail;
}

std::chrono::milliseconds backoffDelay(const RetryPolicy& policy, int attempt, std::mt19937_64& random) {
  using std::chrono::milliseconds;
  long long cap = policy.maxDelay.count();
  long long ceiling = policy.baseDelay.count();
  for (int i = 1; i < attempt && ceiling < cap; ++i) ceiling *= 2;
  ceiling = std::min(ceiling, cap);
  if (ceiling <= 0) return milliseconds(0);
  std::uniform_int_distribution<long long> draw(ceiling / 2, ceiling);
  return milliseconds(draw(random));
}

}  // namespace localplatform::objectstore
