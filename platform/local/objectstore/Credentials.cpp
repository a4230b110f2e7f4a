#include "platform/local/objectstore/Credentials.h"

#include <cstdlib>
#include <fstream>
#include <map>

namespace localplatform::objectstore {

namespace {

std::string trim(const std::string& text) {
  auto begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  auto end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// The profile's keys from the INI file at path. Errors name the file and the
// line number only: a malformed line may hold a secret.
bool readProfile(const std::string& path, const std::string& profile, std::map<std::string, std::string>& keys,
                 std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "no AWS credentials: AWS_ACCESS_KEY_ID is not set and the credentials file " + path +
            " cannot be read";
    return false;
  }
  std::string line;
  std::string section;
  bool found = false;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string text = trim(line);
    if (text.empty() || text[0] == '#' || text[0] == ';') continue;
    if (text.front() == '[') {
      if (text.back() != ']') {
        error = "credentials file " + path + ", line " + std::to_string(number) + ": a section header without ']'";
        return false;
      }
      section = trim(text.substr(1, text.size() - 2));
      found = found || section == profile;
      continue;
    }
    auto equals = text.find('=');
    if (equals == std::string::npos) {
      if (section == profile) {
        error = "credentials file " + path + ", line " + std::to_string(number) + ": not a 'key = value' line";
        return false;
      }
      continue;
    }
    if (section == profile) keys[trim(text.substr(0, equals))] = trim(text.substr(equals + 1));
  }
  if (!found) {
    error = "no AWS credentials: the credentials file " + path + " has no profile [" + profile + "]";
    return false;
  }
  return true;
}

}  // namespace

bool loadCredentials(Credentials& out, std::string& error, const EnvLookup& lookup) {
  auto env = [&](const char* name) -> std::string {
    const char* value = lookup ? lookup(name) : std::getenv(name);
    return value ? value : "";
  };

  std::string keyId = env("AWS_ACCESS_KEY_ID");
  std::string secret = env("AWS_SECRET_ACCESS_KEY");
  if (!keyId.empty() || !secret.empty()) {
    if (keyId.empty() || secret.empty()) {
      error = std::string("incomplete AWS credentials in the environment: ") +
              (keyId.empty() ? "AWS_SECRET_ACCESS_KEY is set but AWS_ACCESS_KEY_ID is not"
                             : "AWS_ACCESS_KEY_ID is set but AWS_SECRET_ACCESS_KEY is not");
      return false;
    }
    out = Credentials{keyId, secret, env("AWS_SESSION_TOKEN")};
    return true;
  }

  std::string path = env("AWS_SHARED_CREDENTIALS_FILE");
  if (path.empty()) {
    std::string home = env("HOME");
    if (home.empty()) {
      error = "no AWS credentials: neither AWS_ACCESS_KEY_ID nor AWS_SHARED_CREDENTIALS_FILE nor HOME is set";
      return false;
    }
    path = home + "/.aws/credentials";
  }
  std::string profile = env("AWS_PROFILE");
  if (profile.empty()) profile = "default";

  std::map<std::string, std::string> keys;
  if (!readProfile(path, profile, keys, error)) return false;
  for (const char* needed : {"aws_access_key_id", "aws_secret_access_key"}) {
    auto it = keys.find(needed);
    if (it == keys.end() || it->second.empty()) {
      error = "no AWS credentials: profile [" + profile + "] of " + path + " has no " + needed;
      return false;
    }
  }
  out = Credentials{keys["aws_access_key_id"], keys["aws_secret_access_key"], keys["aws_session_token"]};
  return true;
}

}  // namespace localplatform::objectstore
