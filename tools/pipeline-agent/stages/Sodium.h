#pragma once

// Makes libsodium ready for use (its random source and the fastest
// implementations for this CPU). Idempotent and thread-safe; throws
// std::runtime_error when libsodium cannot start.
void ensureSodium();
