#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "ConfigurationRepository.h"

namespace {

// A configuration file in a private temporary directory, removed afterwards.
class ConfigFile {
  public:
    explicit ConfigFile(const std::string& text) {
        char dir[] = "/tmp/orq-config-XXXXXX";
        dir_ = mkdtemp(dir);
        path_ = dir_ + "/test.ini";
        std::ofstream(path_) << text;
    }
    ~ConfigFile() {
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }
    const std::string& path() const { return path_; }

  private:
    std::string dir_;
    std::string path_;
};

std::unique_ptr<ConfigurationRepository> loaded(const ConfigFile& file) {
    auto repo = std::make_unique<ConfigurationRepository>(file.path());
    EXPECT_TRUE(repo->load());
    return repo;
}

TEST(ConfigurationRepositoryLoad, MissingFileFailsAndKeepsDefaults) {
    ConfigurationRepository repo("/nonexistent/orq/config.ini");
    EXPECT_FALSE(repo.load());
    EXPECT_EQ(7, repo.getint("main:autostart", 7));
    EXPECT_STREQ("d", repo.getstring("main:x", "d"));
}

TEST(ConfigurationRepositoryLoad, SingletonCanBeRepointed) {
    ConfigFile file("[main]\nplatform = 1\n");
    ConfigurationRepository* repo = ConfigurationRepository::instance(file.path());
    EXPECT_EQ(repo, ConfigurationRepository::instance());
    ASSERT_TRUE(repo->load());
    EXPECT_EQ(1, repo->getint("main:platform", 0));
    ConfigurationRepository::instance(std::string());
    EXPECT_EQ(0, repo->getint("main:platform", 0));
}

TEST(ConfigurationRepositoryKeys, SectionsAndKeysIgnoreCase) {
    ConfigFile file("[Main]\nDebugEnabled = 1\n[RESTServer]\nserverPorts = 9000,9443s\n");
    auto repo = loaded(file);
    EXPECT_EQ(1, repo->getint("main:debugEnabled", 0));
    EXPECT_EQ(1, repo->getint("MAIN:DEBUGENABLED", 0));
    EXPECT_STREQ("9000,9443s", repo->getstring("restserver:SERVERPORTS", nullptr));
}

TEST(ConfigurationRepositoryKeys, IntegersReadLikeStrtolBaseZero) {
    ConfigFile file("[main]\nhex = 0x10\noctal = 010\ndec = 42\nneg = -3\nword = abc\n");
    auto repo = loaded(file);
    EXPECT_EQ(16, repo->getint("main:hex", -1));
    EXPECT_EQ(8, repo->getint("main:octal", -1));
    EXPECT_EQ(42, repo->getint("main:dec", -1));
    EXPECT_EQ(-3, repo->getint("main:neg", -1));
    EXPECT_EQ(0, repo->getint("main:word", -1));
}

TEST(ConfigurationRepositoryKeys, AbsentKeysGiveDefaults) {
    ConfigFile file("[main]\nautostart = 0\n");
    auto repo = loaded(file);
    EXPECT_EQ(60, repo->getint("main:keepAliveThreshold", 60));
    EXPECT_EQ(nullptr, repo->getstring("main:gwStatusChanged_DefaultURIListener", nullptr));
    EXPECT_EQ(0, repo->getint("main:autostart", 1));
    EXPECT_EQ(5, repo->getint("nosection:key", 5));
}

TEST(ConfigurationRepositoryHex, ReadsPrefixedAndBareNumbers) {
    ConfigFile file(
        "[TCKeyTable]\nIEEEAddress00 = 0x01 0x02 0x03\nIEEEAddress01 = 01 02 03\n"
        "TCLinkKey00 = 0xAB 0xcd 0xEf 0x10\n");
    auto repo = loaded(file);
    uint8_t out[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    repo->getHexArray("TCKeyTable:IEEEAddress00", "", out, 3);
    EXPECT_EQ(1, out[0]);
    EXPECT_EQ(2, out[1]);
    EXPECT_EQ(3, out[2]);
    EXPECT_EQ(0xFF, out[3]) << "bytes past count are untouched";

    uint8_t bare[3] = {0xFF, 0xFF, 0xFF};
    repo->getHexArray("TCKeyTable:IEEEAddress01", "", bare, 3);
    EXPECT_EQ(1, bare[0]);
    EXPECT_EQ(2, bare[1]);
    EXPECT_EQ(3, bare[2]);

    uint8_t key[4];
    repo->getHexArray("TCKeyTable:TCLinkKey00", "", key, 4);
    EXPECT_EQ(0xAB, key[0]);
    EXPECT_EQ(0xCD, key[1]);
    EXPECT_EQ(0xEF, key[2]);
    EXPECT_EQ(0x10, key[3]);
}

TEST(ConfigurationRepositoryHex, AbsentKeyUsesDefaultText) {
    ConfigurationRepository repo("");
    uint8_t out[8];
    repo.getHexArray("DefaultStartupAttributeSet:ExtendedPanId",
                     "0x00 0x11 0x22 0x33 0x44 0x55 0x66 0x77", out, 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(0x11 * i, out[i]);
    }
}

TEST(ConfigurationRepositoryHex, ShortTextIsNeverOverRead) {
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
    uint8_t out[3];
    parseHexArray(nullptr, out, 3);
    EXPECT_EQ(0, out[0]);
}

TEST(ConfigurationRepositoryHex, UnreadableNumbersBecomeZeroAndLargeOnesAreCut) {
    uint8_t out[4];
    parseHexArray("zz 0x1FF 0xG1 0x42", out, 4);
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(0xFF, out[1]);
    EXPECT_EQ(0, out[2]);
    EXPECT_EQ(0x42, out[3]);
}

}  // namespace
