#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "LocalFixture.h"
#include "platform/EvEvent.h"
#include "platform/ZebPlatformInfo.h"
#include "platform/local/Config.h"
#include "platform/local/StoreSession.h"

using LocalSettingsTest = LocalPlatformTest;
using LocalLogTest = LocalPlatformTest;

namespace {

void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

}  // namespace

TEST_F(LocalSettingsTest, FindsNumbersByCaseInsensitiveNamesAndRereadsTheFile) {
    write(config.settingsFile,
          "; agent settings\n"
          "[Other]\nDelayPipelineSetup = 5\n"
          "# the restore agent\n"
          "  [ MSSQLAgent ]  \n  delaypipelinesetup=  12  \r\n");
    ZebPlatformInfo settings;
    unsigned long value = 0;
    EXPECT_NE(settings.getNumber("mssqlagent", "DelayPipelineSetup", &value), 0);
    EXPECT_EQ(value, 12u);
    EXPECT_NE(settings.getNumber("OTHER", "delaypipelinesetup", &value), 0);
    EXPECT_EQ(value, 5u);

    write(config.settingsFile, "[MSSQLAgent]\nDelayPipelineSetup = 0\n");
    EXPECT_NE(settings.getNumber("MSSQLAgent", "DelayPipelineSetup", &value), 0);
    EXPECT_EQ(value, 0u);
}

TEST_F(LocalSettingsTest, AbsentOrInvalidSettingsLeaveTheValueAlone) {
    ZebPlatformInfo settings;
    unsigned long value = 77;
    EXPECT_EQ(settings.getNumber("MSSQLAgent", "DelayPipelineSetup", &value), 0);  // no file

    write(config.settingsFile,
          "[MSSQLAgent]\nOther = 1\n; DelayPipelineSetup = 3\n[Next]\nDelayPipelineSetup = 4\n");
    EXPECT_EQ(settings.getNumber("MSSQLAgent", "DelayPipelineSetup", &value), 0);
    EXPECT_EQ(settings.getNumber("Missing", "Other", &value), 0);

    for (const char* invalid : {"-1", "12abc", "", "0x10", "99999999999999999999999"}) {
        write(config.settingsFile, std::string("[MSSQLAgent]\nDelayPipelineSetup = ") + invalid);
        EXPECT_EQ(settings.getNumber("MSSQLAgent", "DelayPipelineSetup", &value), 0) << invalid;
        EXPECT_NE(log().find("setting DelayPipelineSetup of [MSSQLAgent] in " +
                             config.settingsFile + " is not an unsigned decimal number: \"" +
                             invalid + "\""),
                  std::string::npos)
            << log();
    }
    EXPECT_EQ(value, 77u);
}

TEST_F(LocalSettingsTest, PhysicalMachineIsTheConfiguredNameElseTheHostName) {
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    ZebPlatformInfo info;
    EXPECT_STREQ(info.getPhysicalMachine(), host);
    config.physicalMachine = "node-7";
    reconfigure();
    EXPECT_STREQ(info.getPhysicalMachine(), "node-7");
}

TEST_F(LocalLogTest, LinesCarryTimeProcessThreadLevelAndJob) {
    EvEvent event;
    event.error("failed %d of %s", 2, "three");
    event.debug("plain %s", "debug");
    event.Debug("close", "stream [%d]", 4);
    event.DebugLvl("close", 0, "level %d", 0);

    const auto logged = lines(log());
    ASSERT_EQ(logged.size(), 4u) << log();
    const std::regex format(
        R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) \[pid (\d+) tid (\d+)\] (\w+) job (\d+): (.*))");
    const std::string job = std::to_string(config.jobId);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"ERROR", "failed 2 of three"},
        {"DEBUG1", "plain debug"},
        {"DEBUG1", "close: stream [4]"},
        {"DEBUG0", "close: level 0"}};
    for (std::size_t i = 0; i < logged.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(logged[i], match, format)) << logged[i];
        EXPECT_EQ(match[2], std::to_string(getpid()));
        EXPECT_EQ(match[3], std::to_string(gettid()));
        EXPECT_EQ(match[4], expected[i].first);
        EXPECT_EQ(match[5], job);
        EXPECT_EQ(match[6], expected[i].second);
    }
}

TEST_F(LocalLogTest, TheLevelFiltersDebugLinesButNeverErrors) {
    config.logLevel = 2;
    reconfigure();
    EvEvent event;
    event.DebugLvl("f", 2, "two");
    event.DebugLvl("f", 3, "three");
    config.logLevel = -1;
    reconfigure();
    event.debug("debug");
    event.DebugLvl("f", 0, "zero");
    event.error("error");

    const auto logged = lines(log());
    ASSERT_EQ(logged.size(), 2u) << log();
    EXPECT_NE(logged[0].find("DEBUG2 job"), std::string::npos);
    EXPECT_NE(logged[0].find(": f: two"), std::string::npos);
    EXPECT_NE(logged[1].find("ERROR job"), std::string::npos);
}

TEST_F(LocalLogTest, TheCopyOnStderrHasItsOwnLevelAndNothingStopsEvenErrors) {
    config.logLevel = 1;
    config.stderrLevel = 0;
    reconfigure();
    EvEvent event;
    testing::internal::CaptureStderr();
    event.debug("one");
    event.DebugLvl("f", 0, "zero");
    event.error("error");
    const std::string copied = testing::internal::GetCapturedStderr();
    ASSERT_EQ(lines(log()).size(), 3u) << log();
    const auto onStderr = lines(copied);
    ASSERT_EQ(onStderr.size(), 2u) << copied;
    EXPECT_NE(onStderr[0].find("DEBUG0 job"), std::string::npos);
    EXPECT_NE(onStderr[0].find(": f: zero"), std::string::npos);
    EXPECT_NE(onStderr[1].find("ERROR job"), std::string::npos);
    // The copy is the file's line, byte for byte.
    EXPECT_EQ(onStderr[1], lines(log())[2]);

    config.logLevel = localplatform::kLogNothing;
    config.stderrLevel = localplatform::kLogNothing;
    reconfigure();
    testing::internal::CaptureStderr();
    event.error("nowhere");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(log().find("nowhere"), std::string::npos) << log();
}

TEST_F(LocalLogTest, TheStoresOwnLogIsUnderLogsByNameAndAReadOnlyStoreMayGoWithout) {
    config.logFile.clear();
    config.storeLogName = "4711";
    reconfigure();
    const std::string path = localplatform::storeDirectory() + "/logs/4711.log";
    EXPECT_EQ(localplatform::logFilePath(), path);
    EvEvent event;
    testing::internal::CaptureStderr();
    event.error("into the store");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_NE(text.str().find("ERROR job " + std::to_string(config.jobId) + ": into the store"),
              std::string::npos)
        << text.str();

    // A store whose logs/ cannot hold the file: a writer is refused, a reader
    // goes on without, its lines on stderr only as stderrLevel lets them.
    const std::string store = localplatform::storeDirectory();
    localplatform::closeStore();
    std::filesystem::remove_all(store + "/logs");
    write(store + "/logs", "not a directory");
    EXPECT_THROW(reconfigure(), localplatform::StoreError);
    config.stderrLevel = -1;
    localplatform::openStore(config, localplatform::Access::ReadOnly, false);
    EXPECT_EQ(localplatform::logFilePath(), "");
    EvEvent reader;
    testing::internal::CaptureStderr();
    reader.debug("held back");
    reader.error("shown");
    const std::string shown = testing::internal::GetCapturedStderr();
    ASSERT_EQ(lines(shown).size(), 1u) << shown;
    EXPECT_NE(shown.find("ERROR job " + std::to_string(config.jobId) + ": shown"),
              std::string::npos);
}

TEST_F(LocalLogTest, AContextKeepsTheJobItWasMadeForAndLongTextsStayWhole) {
    const unsigned long long job = config.jobId;
    EvEvent event;
    useJob(5);
    EvEvent later;
    EXPECT_EQ(event.getJobId(), job);
    EXPECT_EQ(later.getJobId(), 5u);

    const std::string text(20000, 'y');
    event.error("%s|", text.c_str());
    const auto logged = lines(log());
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find(" ERROR job " + std::to_string(job) + ": " + text + "|"),
              std::string::npos);
}
