// The module supervisor's rules with time points chosen by the test: reconnect back-off,
// missed confirms, and the configuration keys that set them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "RecoveryRules.h"
#include "support/TestConfig.h"

using std::chrono::milliseconds;

namespace {
RecoveryClock::time_point at(int ms) {
    return RecoveryClock::time_point() + milliseconds(ms);
}
}  // namespace

TEST(Backoff, DoublesFromTheFirstDelayUpToTheCapAndStartsOverAfterASuccess) {
    struct Case {
        int first, max;
        std::vector<int> delays;
    } cases[] = {
        {1000, 30000, {1000, 2000, 4000, 8000, 16000, 30000, 30000}},
        {200, 800, {200, 400, 800, 800}},
        {300, 1000, {300, 600, 1000, 1000}},  // the cap need not be a power of two of the first
        {500, 100, {500, 500}},               // a cap below the first delay keeps the first
    };
    for (const Case& c : cases) {
        Backoff b(c.first, c.max);
        for (int want : c.delays) {
            EXPECT_EQ(milliseconds(want), b.next()) << c.first << "/" << c.max;
        }
        b.reset();
        EXPECT_EQ(milliseconds(c.first), b.next());
    }
}

TEST(ConfirmWatch, ConsecutiveMissedDeadlinesMakeAHungModule) {
    ConfirmWatch w(milliseconds(100), 3);
    w.sent(at(0));
    w.sent(at(10));
    EXPECT_EQ(at(100), w.nextDeadline());
    EXPECT_FALSE(w.expire(at(99)));
    EXPECT_EQ(0, w.misses());
    EXPECT_FALSE(w.expire(at(110)));  // two misses of three
    EXPECT_EQ(2, w.misses());
    EXPECT_EQ(RecoveryClock::time_point::max(), w.nextDeadline());
    w.sent(at(200));
    EXPECT_TRUE(w.expire(at(300)));
    EXPECT_EQ(3, w.misses());
}

TEST(ConfirmWatch, AnythingHeardSettlesEveryRequestAndClearsTheMisses) {
    ConfirmWatch w(milliseconds(100), 2);
    w.sent(at(0));
    EXPECT_FALSE(w.expire(at(150)));
    EXPECT_EQ(1, w.misses());
    w.sent(at(200));
    w.sent(at(250));
    w.heard();  // the module said something: nothing it was sent points to a hang any more
    EXPECT_EQ(0, w.misses());
    EXPECT_EQ(0, w.outstanding());
    EXPECT_EQ(RecoveryClock::time_point::max(), w.nextDeadline());
    EXPECT_FALSE(w.expire(at(1000)));
    w.sent(at(1000));
    EXPECT_FALSE(w.expire(at(1100)));  // one miss after it is not two
    w.sent(at(1200));
    EXPECT_TRUE(w.expire(at(1300)));
    w.clear();
    EXPECT_EQ(0, w.misses());
    EXPECT_EQ(0, w.outstanding());
}

TEST(ConfirmWatch, ALimitOfZeroNeverDeclaresAHang) {
    ConfirmWatch w(milliseconds(10), 0);
    for (int i = 0; i < 5; ++i) {
        w.sent(at(i * 20));
    }
    EXPECT_FALSE(w.expire(at(1000)));
    EXPECT_EQ(5, w.misses());
}

TEST(RecoverySettings, KeysOverrideTheDefaultsAndValuesOutOfRangeAreIgnored) {
    TestConfig config(
        "[Recovery]\nbackoffFirstMs = 250\nbackoffMaxMs = 100\nconfirmTimeoutMs = 0\n"
        "missedConfirms = 5\nprobePeriod = 0\nrestartTimeoutMs = 9000\nstartMode = 7\n"
        "enabled = 0\nresetLine = /dev/null\nresetTimeoutMs = 0\n");
    ASSERT_TRUE(config.loaded);
    const RecoverySettings s = RecoverySettings::fromConfig(config.get());
    const RecoverySettings d;
    EXPECT_FALSE(s.enabled);
    EXPECT_EQ(250, s.backoffFirstMs);
    EXPECT_EQ(d.backoffMaxMs, s.backoffMaxMs);          // below the first delay
    EXPECT_EQ(d.confirmTimeoutMs, s.confirmTimeoutMs);  // 0 would expire at once
    EXPECT_EQ(5, s.missedConfirms);
    EXPECT_EQ(0, s.probePeriodSeconds);  // 0 turns the probe off
    EXPECT_EQ(9000, s.restartTimeoutMs);
    EXPECT_EQ(d.startMode, s.startMode);  // only 0, 1 and 2 exist
    EXPECT_EQ("/dev/null", s.resetLine);
    EXPECT_EQ(d.resetTimeoutMs, s.resetTimeoutMs);
}

TEST(ResetLine, WritesResetToTheFileAndNeverCreatesOrWaits) {
    char dir[] = "/tmp/orq-resetline-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string file = std::string(dir) + "/cmd";
    std::string why;

    EXPECT_FALSE(writeResetLine(file, why));  // absent: not made
    EXPECT_EQ(std::strerror(ENOENT), why);
    struct stat st;
    EXPECT_NE(0, stat(file.c_str(), &st));

    { std::ofstream(file) << "something before"; }
    why.clear();
    EXPECT_TRUE(writeResetLine(file, why)) << why;
    std::ifstream in(file);
    const std::string written((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ("reset\n", written);

    // A FIFO that nobody reads is refused at once rather than waited on.
    const std::string fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_FALSE(writeResetLine(fifo, why));
    EXPECT_EQ(std::strerror(ENXIO), why);

    EXPECT_FALSE(writeResetLine("", why));
    std::remove(file.c_str());
    std::remove(fifo.c_str());
    rmdir(dir);
}
