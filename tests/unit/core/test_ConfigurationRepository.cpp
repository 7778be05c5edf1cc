#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ConfigurationRepository.h"
#include "support/TempFile.h"

namespace {

TEST(ConfigurationRepositoryLoad, MissingFileKeepsDefaultsAndTheSingletonCanBeRepointed) {
    ConfigurationRepository missing("/nonexistent/orq/config.ini");
    EXPECT_FALSE(missing.load());
    EXPECT_TRUE(missing.getint("main:autostart", 7) == 7 && !missing.getstring("main:x", nullptr));
    TempFile file("[main]\nplatform = 1\n");
    ConfigurationRepository* repo = ConfigurationRepository::instance(file.path());
    EXPECT_EQ(repo, ConfigurationRepository::instance());
    ASSERT_TRUE(repo->load());
    EXPECT_EQ(1, repo->getint("main:platform", 0));
    ConfigurationRepository::instance(std::string());
    EXPECT_EQ(0, repo->getint("main:platform", 0));
}

// Sections and keys ignore case; integers read like strtol with base 0; absent keys give the
// default.
TEST(ConfigurationRepositoryKeys, ValuesAndDefaults) {
    TempFile file(
        "[Main]\nDebugEnabled = 1\nhex = 0x10\noctal = 010\nneg = -3\nword = abc\n"
        "autostart = 0\n[RESTServer]\nserverPorts = 9000,9443s\n");
    ConfigurationRepository repo(file.path());
    ASSERT_TRUE(repo.load());
    const struct {
        const char* key;
        int value;
    } ints[] = {{"main:debugEnabled", 1}, {"MAIN:DEBUGENABLED", 1}, {"main:hex", 16},
                {"main:octal", 8},        {"main:neg", -3},         {"main:word", 0},
                {"main:autostart", 0},    {"main:absent", -1},      {"nosection:key", -1}};
    for (const auto& c : ints) {
        EXPECT_EQ(c.value, repo.getint(c.key, -1)) << c.key;
    }
    EXPECT_STREQ("9000,9443s", repo.getstring("restserver:SERVERPORTS", nullptr));
    EXPECT_EQ(nullptr, repo.getstring("main:gwStatusChanged_DefaultURIListener", nullptr));
}

TEST(ConfigurationRepositoryHex, ReadsPrefixedAndBareNumbersAndDefaultText) {
    TempFile file(
        "[TCKeyTable]\nIEEEAddress00 = 0x01 0x02 0x03\nIEEEAddress01 = 01 02 03\n"
        "TCLinkKey00 = 0xAB 0xcd 0xEf 0x10\n");
    ConfigurationRepository repo(file.path());
    ASSERT_TRUE(repo.load());
    std::vector<uint8_t> out(4, 0xFF);
    repo.getHexArray("TCKeyTable:IEEEAddress00", "", out.data(), 3);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 0xFF})) << "bytes past count are untouched";
    repo.getHexArray("TCKeyTable:IEEEAddress01", "", out.data(), 3);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 0xFF}));
    repo.getHexArray("TCKeyTable:TCLinkKey00", "", out.data(), 4);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xAB, 0xCD, 0xEF, 0x10}));
    repo.getHexArray("TCKeyTable:TCLinkKey01", "0x00 0x11 0x22 0x33", out.data(), 4);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x00, 0x11, 0x22, 0x33}));
}

TEST(ConfigurationRepositoryHex, ShortTextIsNeverOverReadAndBadNumbersBecomeZero) {
    // Each text is copied into a buffer of its exact size so that AddressSanitizer sees a
    // read past its end.
    for (const char* text : {"", "0x", "0x1", "0x01 0x", "7"}) {
        size_t len = std::strlen(text) + 1;
        std::unique_ptr<char[]> exact(new char[len]);
        std::memcpy(exact.get(), text, len);
        uint8_t out[16];
        std::memset(out, 0xEE, sizeof out);
        parseHexArray(exact.get(), out, 16);
        for (int i = 2; i < 16; ++i) {
            EXPECT_EQ(0, out[i]) << "text '" << text << "' byte " << i;
        }
    }
    uint8_t out[4] = {9, 9, 9, 9};
    parseHexArray(nullptr, out, 3);
    EXPECT_EQ(0, out[0]);
    parseHexArray("zz 0x1FF 0xG1 0x42", out, 4);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0, 0xFF, 0, 0x42}));
}

}  // namespace
