// Where credentials come from, in which order, and that no error text ever
// carries the secret.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/local/objectstore/Credentials.h"

namespace os = localplatform::objectstore;

namespace {

constexpr const char* kSecret = "s3cr3t/VALUE+that-must-never-show";

class CredentialsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/objectstore-creds-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    vars_["HOME"] = dir_;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  os::EnvLookup env() {
    return [this](const char* name) -> const char* {
      auto it = vars_.find(name);
      return it == vars_.end() ? nullptr : it->second.c_str();
    };
  }
  void writeFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
  }
  std::string home() const { return dir_ + "/.aws/credentials"; }

  std::string dir_;
  std::map<std::string, std::string> vars_;
  os::Credentials creds_;
  std::string error_;
};

}  // namespace

TEST_F(CredentialsTest, EnvironmentComesFirst) {
  writeFile(home(), "[default]\naws_access_key_id = FILEKEY\naws_secret_access_key = filesecret\n");
  vars_["AWS_ACCESS_KEY_ID"] = "ENVKEY";
  vars_["AWS_SECRET_ACCESS_KEY"] = kSecret;
  vars_["AWS_SESSION_TOKEN"] = "tok";
  ASSERT_TRUE(os::loadCredentials(creds_, error_, env())) << error_;
  EXPECT_EQ(creds_.accessKeyId, "ENVKEY");
  EXPECT_EQ(creds_.secretAccessKey, kSecret);
  EXPECT_EQ(creds_.sessionToken, "tok");
}

TEST_F(CredentialsTest, HalfAPairInTheEnvironmentIsAnErrorNotAFallback) {
  writeFile(home(), "[default]\naws_access_key_id = FILEKEY\naws_secret_access_key = filesecret\n");
  vars_["AWS_SECRET_ACCESS_KEY"] = kSecret;
  EXPECT_FALSE(os::loadCredentials(creds_, error_, env()));
  EXPECT_NE(error_.find("AWS_ACCESS_KEY_ID is not"), std::string::npos) << error_;
  EXPECT_EQ(error_.find(kSecret), std::string::npos);
}

TEST_F(CredentialsTest, DefaultProfileOfTheHomeFile) {
  writeFile(home(),
            "# comment\n[other]\naws_access_key_id=OTHER\naws_secret_access_key=other\n\n"
            "  [ default ]  \n  aws_access_key_id   =  DEFKEY  \r\naws_secret_access_key=" +
                std::string(kSecret) + "\n; done\n");
  ASSERT_TRUE(os::loadCredentials(creds_, error_, env())) << error_;
  EXPECT_EQ(creds_.accessKeyId, "DEFKEY");
  EXPECT_EQ(creds_.secretAccessKey, kSecret);
  EXPECT_EQ(creds_.sessionToken, "");
}

TEST_F(CredentialsTest, ProfileAndFileFromTheEnvironment) {
  std::string file = dir_ + "/elsewhere.ini";
  writeFile(file,
            "[default]\naws_access_key_id=DEF\naws_secret_access_key=def\n"
            "[backup]\naws_access_key_id=BKEY\naws_secret_access_key=bsecret\naws_session_token=btok\n");
  vars_["AWS_SHARED_CREDENTIALS_FILE"] = file;
  vars_["AWS_PROFILE"] = "backup";
  ASSERT_TRUE(os::loadCredentials(creds_, error_, env())) << error_;
  EXPECT_EQ(creds_.accessKeyId, "BKEY");
  EXPECT_EQ(creds_.secretAccessKey, "bsecret");
  EXPECT_EQ(creds_.sessionToken, "btok");
}

TEST_F(CredentialsTest, MissingPlacesAreNamed) {
  EXPECT_FALSE(os::loadCredentials(creds_, error_, env()));
  EXPECT_NE(error_.find(home()), std::string::npos) << error_;

  writeFile(home(), "[default]\naws_access_key_id=K\naws_secret_access_key=s\n");
  vars_["AWS_PROFILE"] = "nosuch";
  EXPECT_FALSE(os::loadCredentials(creds_, error_, env()));
  EXPECT_NE(error_.find("[nosuch]"), std::string::npos) << error_;

  vars_["AWS_PROFILE"] = "half";
  writeFile(home(), std::string("[half]\naws_secret_access_key=") + kSecret + "\n");
  EXPECT_FALSE(os::loadCredentials(creds_, error_, env()));
  EXPECT_NE(error_.find("aws_access_key_id"), std::string::npos) << error_;
  EXPECT_EQ(error_.find(kSecret), std::string::npos) << error_;
}

TEST_F(CredentialsTest, AMalformedLineIsReportedByNumberWithoutItsText) {
  // A line missing its '=' may well be a pasted secret.
  writeFile(home(), std::string("[default]\naws_access_key_id=K\n") + kSecret + "\n");
  EXPECT_FALSE(os::loadCredentials(creds_, error_, env()));
  EXPECT_NE(error_.find("line 3"), std::string::npos) << error_;
  EXPECT_EQ(error_.find(kSecret), std::string::npos) << error_;
  EXPECT_EQ(error_.find("s3cr3t"), std::string::npos) << error_;
}
