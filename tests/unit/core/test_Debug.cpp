#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "CDebug.h"
#include "CLogStorage.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

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
        char cwd[4096];
        ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
        oldCwd_ = cwd;
        ASSERT_EQ(0, chdir(dir_.c_str()));
    }
    void TearDown() override {
        ASSERT_EQ(0, chdir(oldCwd_.c_str()));
        std::remove((dir_ + "/log.xml").c_str());
        rmdir(dir_.c_str());
    }

    std::string dir_;
    std::string oldCwd_;
};

TEST_F(DebugTest, NewLoggerHasDocumentedDefaults) {
    Debug unnamed;
    EXPECT_EQ("className", unnamed.name());
    EXPECT_EQ(0, unnamed.getDebugMode());
    EXPECT_EQ(1, unnamed.getDebugMsgFormat());
    EXPECT_FALSE(unnamed.isOutputEnabled(0));
    EXPECT_FALSE(unnamed.isOutputEnabled(1));
}

TEST_F(DebugTest, ModeOffPrintsNothingEvenForFatal) {
    Debug logger("Off");
    logger.enableDebugOuput(0);
    EXPECT_FALSE(logger.isOutputEnabled(0)) << "a logger whose mode is off gets no console";
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, ORQ_LOG(logger, DEBUG, "debug %d", 1));
    EXPECT_EQ(-1, ORQ_LOG(logger, FATAL, "fatal"));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST_F(DebugTest, LevelFiltersLowerTypes) {
    Debug logger = consoleLogger(2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, logger.logDebugMsg("file.cpp", 10, DEBUG, "dropped debug"));
    EXPECT_EQ(0, logger.logDebugMsg("file.cpp", 11, INFO, "dropped info"));
    EXPECT_EQ(0, logger.logDebugMsg("file.cpp", 12, WARN, "warn %s", "shown"));
    EXPECT_EQ(0, logger.logDebugMsg("file.cpp", 13, ERROR, "error shown"));
    EXPECT_EQ("file.cpp:12 - warn shown\nfile.cpp:13 - error shown\n",
              testing::internal::GetCapturedStdout());
}

TEST_F(DebugTest, LongTextIsCutTo498Characters) {
    Debug logger = consoleLogger(0);
    std::string text(600, 'x');
    testing::internal::CaptureStdout();
    logger.logDebugMsg("f.cpp", 1, INFO, "%s", text.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("f.cpp:1 - " + std::string(498, 'x') + "\n", out);
}

TEST_F(DebugTest, PlainPrefixIsLimitedTo98Characters) {
    Debug logger = consoleLogger(0);
    std::string longName(200, 'n');
    testing::internal::CaptureStdout();
    logger.logDebugMsg(longName.c_str(), 7, INFO, "text");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string(98, 'n') + "text\n", out);
}

TEST_F(DebugTest, XmlFormatRecord) {
    Debug logger = consoleLogger(0, 1);
    testing::internal::CaptureStdout();
    logger.logDebugMsg("a.cpp", 5, WARN, "hello");
    EXPECT_EQ(
        "<DebugMsg Type=\"2\" ClassName=\"TestComponent\" Filename=\"a.cpp\" LineNumber=\"5\" "
        "><Log>hello</Log></DebugMsg>\n",
        testing::internal::GetCapturedStdout());
}

TEST_F(DebugTest, InvalidFormatIsIgnored) {
    Debug logger("F");
    logger.setDebugMsgFormat(0);
    logger.setDebugMsgFormat(2);
    EXPECT_EQ(0, logger.getDebugMsgFormat());
}

TEST_F(DebugTest, ConsoleLineUsesSourceBaseName) {
    Debug logger = consoleLogger(0);
    testing::internal::CaptureStdout();
    int line = __LINE__ + 1;
    ORQ_LOG(logger, INFO, "start - %s", "ok");
    EXPECT_EQ("test_Debug.cpp:" + std::to_string(line) + " - start - ok\n",
              testing::internal::GetCapturedStdout());
}

TEST_F(DebugTest, TwoRecordsLeaveLogFileWellFormed) {
    LogStorage::Instance()->init();
    Debug logger("FileLogger");
    logger.setDebugMode(1);
    logger.setDebugLevel(0);
    logger.setDebugMsgFormat(0);
    logger.enableDebugOuput(1);
    ASSERT_TRUE(logger.isOutputEnabled(1));
    logger.logDebugMsg("x.cpp", 1, INFO, "first");
    logger.logDebugMsg("x.cpp", 2, ERROR, "second");
    EXPECT_EQ("<LogFile>x.cpp:1 - firstx.cpp:2 - second</LogFile>\n", readFile("log.xml"));
}

TEST_F(DebugTest, DisabledOutputsStaySilent) {
    Debug logger = consoleLogger(0);
    logger.disableDebugOuput(0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, logger.logDebugMsg("x.cpp", 1, ERROR, "nothing"));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

using DebugDeathTest = DebugTest;

TEST_F(DebugDeathTest, FatalWithModeOnExits255) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Debug logger = consoleLogger(4);
            logger.logDebugMsg("x.cpp", 1, FATAL, "the end");
        },
        ::testing::ExitedWithCode(255), "");
}

TEST_F(DebugDeathTest, FatalBelowLevelReturns) {
    Debug logger = consoleLogger(4);
    logger.setDebugLevel(5);
    EXPECT_EQ(0, logger.logDebugMsg("x.cpp", 1, FATAL, "filtered"));
}

}  // namespace
