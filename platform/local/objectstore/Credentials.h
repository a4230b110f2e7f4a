#pragma once

// An access key pair for an object store, found only where AWS tools look for
// one: the environment, else the shared credentials file. The secret is never
// written anywhere by this code: no message made here contains it.

#include <functional>
#include <string>

namespace localplatform::objectstore {

struct Credentials {
  std::string accessKeyId;
  std::string secretAccessKey;
  std::string sessionToken;  // empty without a temporary session
};

// Reads one environment variable; nullptr when unset. Tests pass their own.
using EnvLookup = std::function<const char*(const char*)>;

// Finds the credentials:
// 1. AWS_ACCESS_KEY_ID with AWS_SECRET_ACCESS_KEY (and AWS_SESSION_TOKEN when
//    set); one of the pair without the other is an error;
// 2. else the profile AWS_PROFILE (default "default") of the INI file
//    AWS_SHARED_CREDENTIALS_FILE (default $HOME/.aws/credentials), its keys
//    aws_access_key_id, aws_secret_access_key, aws_session_token.
// True with out filled; false with error set to one line naming the place
// looked at and what is missing or malformed (never a value read). Thread
// safety: as safe as env is (getenv: while nobody sets variables).
bool loadCredentials(Credentials& out, std::string& error, const EnvLookup& env = nullptr);

}  // namespace localplatform::objectstore
