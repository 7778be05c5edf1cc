#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "CDebug.h"
#include "CLogStorage.h"

namespace {

Debug consoleLogger(int level, int format = 0) {
    Debug logger("TestComponent");
    logger.setDebugMode(1);
    logger.setDebugLevel(level);
    logger.setDebugMsgFormat(format);
    logger.enableDebugOuput(0);
    return logger;
}

// Runs every test in a private working directory, since the log file is "log.xml" there.
class DebugTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/orq-debug-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        dir_ = dir;
        oldCwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(oldCwd_);
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path dir_, oldCwd_;
};

TEST_F(DebugTest, DefaultsAndModeOffPrintsNothingEvenForFatal) {
    Debug logger;
    EXPECT_EQ(1, logger.getDebugMsgFormat());
    logger.setDebugMsgFormat(0);
    logger.setDebugMsgFormat(2);  // ignored
    EXPECT_EQ(0, logger.getDebugMsgFormat());
    logger.enableDebugOuput(0);
    EXPECT_FALSE(logger.isOutputEnabled(0)) << "a logger whose mode is off gets no console";
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, ORQ_LOG(logger, DEBUG, "debug %d", 1));
    EXPECT_EQ(-1, ORQ_LOG(logger, FATAL, "fatal"));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

// Each line: level, format, file, type, text; what the console shows.
TEST_F(DebugTest, ConsoleLinesFilteredCutAndFormatted) {
    const std::string longName(200, 'n');
    const std::string longText(600, 'x');
    const struct {
        int level, format;
        const char* file;
        int type;
        std::string text, shown;
    } cases[] = {
        {2, 0, "file.cpp", INFO, "dropped", ""},
        {2, 0, "file.cpp", WARN, "warn", "file.cpp:12 - warn\n"},
        {2, 0, "file.cpp", ERROR, "error", "file.cpp:12 - error\n"},
        {0, 0, "f.cpp", DEBUG, longText, "f.cpp:12 - " + std::string(498, 'x') + "\n"},
        {0, 0, longName.c_str(), INFO, "text", std::string(98, 'n') + "text\n"},
        {0, 1, "a.cpp", WARN, "hello",
         "<DebugMsg Type=\"2\" ClassName=\"TestComponent\" Filename=\"a.cpp\" LineNumber=\"12\" "
         "><Log>hello</Log></DebugMsg>\n"},
    };
    for (const auto& c : cases) {
        Debug logger = consoleLogger(c.level, c.format);
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, logger.logDebugMsg(c.file, 12, c.type, "%s", c.text.c_str()));
        EXPECT_EQ(c.shown, testing::internal::GetCapturedStdout()) << c.text.substr(0, 10);
    }
    Debug logger = consoleLogger(0);
    testing::internal::CaptureStdout();
    int line = __LINE__ + 1;
    ORQ_LOG(logger, INFO, "start - %s", "ok");
    logger.disableDebugOuput(0);
    EXPECT_EQ(0, logger.logDebugMsg("x.cpp", 1, ERROR, "nothing"));
    EXPECT_EQ("test_Debug.cpp:" + std::to_string(line) + " - start - ok\n",
              testing::internal::GetCapturedStdout());
}

TEST_F(DebugTest, TwoRecordsLeaveLogFileWellFormed) {
    LogStorage::Instance()->init();
    Debug logger("FileLogger");
    logger.setDebugMode(1);
    logger.setDebugMsgFormat(0);
    logger.enableDebugOuput(1);
    ASSERT_TRUE(logger.isOutputEnabled(1));
    EXPECT_FALSE(logger.isOutputEnabled(0));
    logger.logDebugMsg("x.cpp", 1, INFO, "first");
    logger.logDebugMsg("x.cpp", 2, ERROR, "second");
    std::stringstream s;
    s << std::ifstream("log.xml").rdbuf();
    EXPECT_EQ("<LogFile>x.cpp:1 - firstx.cpp:2 - second</LogFile>\n", s.str());
}

using DebugDeathTest = DebugTest;

TEST_F(DebugDeathTest, FatalExits255UnlessBelowTheLevel) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Debug logger = consoleLogger(4);
            logger.logDebugMsg("x.cpp", 1, FATAL, "the end");
        },
        ::testing::ExitedWithCode(255), "");
    Debug logger = consoleLogger(5);
    EXPECT_EQ(0, logger.logDebugMsg("x.cpp", 1, FATAL, "filtered"));
}

}  // namespace
