// What a store supports, asked by its configuration alone: from the name a
// configuration gives or the environment's default, with nothing opened,
// read or made, whatever store is open meanwhile.

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "LocalFixture.h"

#include "platform/local/Config.h"
#include "platform/local/StoreSession.h"

namespace {

using localplatform::Config;
using localplatform::storeCapabilities;

// Sets an environment variable for the life of the object, then puts back
// what was there.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : m_name(name) {
        if (const char* before = std::getenv(name)) m_before = before;
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedVariable() {
        if (m_before) {
            ::setenv(m_name, m_before->c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_before;
};

class LocalStoreCapabilitiesTest : public LocalPlatformTest {};

TEST_F(LocalStoreCapabilitiesTest, AStoreInADirectoryHasAHostFolderAndIsNotMadeByTheQuestion) {
    Config other;
    other.storeDir = dir() + "/not-yet";
    EXPECT_TRUE(storeCapabilities(other).hostFolder);
    EXPECT_FALSE(std::filesystem::exists(other.storeDir));
    // The open store's own configuration says the same, and its host
    // directory is the store's.
    EXPECT_TRUE(storeCapabilities(localplatform::configuration()).hostFolder);
    EXPECT_EQ(localplatform::storeHostDirectory(), localplatform::storeDirectory());
}

TEST_F(LocalStoreCapabilitiesTest, AStoreInObjectStorageHasNoHostFolderAndIsNotReached) {
    // No credentials and no endpoint: an opening would be refused, a
    // question is answered from the name.
    ScopedVariable key("AWS_ACCESS_KEY_ID", nullptr);
    ScopedVariable endpoint("AWS_ENDPOINT_URL", nullptr);
    Config objects;
    objects.storeDir = "s3://bucket/some/prefix";
    EXPECT_FALSE(storeCapabilities(objects).hostFolder);
    objects.storeDir = "s3://bucket";
    EXPECT_FALSE(storeCapabilities(objects).hostFolder);
    // What is open stays open.
    EXPECT_TRUE(localplatform::storeIsOpen());
    EXPECT_EQ(localplatform::storeDirectory(),
              std::filesystem::canonical(config.storeDir).string());
}

TEST_F(LocalStoreCapabilitiesTest, AConfigurationWithoutAStoreIsAskedAboutTheEnvironmentsDefault) {
    Config unnamed;
    {
        ScopedVariable store("PIPELINE_STORE", "s3://bucket/prefix");
        EXPECT_FALSE(storeCapabilities(unnamed).hostFolder);
    }
    {
        ScopedVariable store("PIPELINE_STORE", (dir() + "/elsewhere").c_str());
        EXPECT_TRUE(storeCapabilities(unnamed).hostFolder);
    }
    // A name given wins over the environment's.
    ScopedVariable store("PIPELINE_STORE", "s3://bucket/prefix");
    unnamed.storeDir = dir() + "/named";
    EXPECT_TRUE(storeCapabilities(unnamed).hostFolder);
}

}  // namespace
