#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ConfigurationCheck.h"
#include "ConfigurationRepository.h"
#include "support/TempFile.h"

namespace {

std::vector<std::string> problemsOf(const std::string& path) {
    ConfigurationRepository repo(path);
    EXPECT_TRUE(repo.load()) << path;
    std::vector<std::string> out;
    for (const ConfigurationProblem& p : checkConfiguration(repo)) {
        out.push_back(p.text());
    }
    return out;
}

TEST(ConfigurationCheck, UnknownSectionsAndKeysAreNamedWithTheNearestKnownName) {
    TempFile file(
        "top = 1\n"
        "[main]\n"
        "; comment = not a key\n"
        "autostart = 0\n"
        "frobnicate = 3\n"
        "ChannelMask = 15\n"
        "[RESTSever]\n"
        "serverPort = 9001\n"
        "[RESTServer]\n"
        "serverPort = 9001\n"
        "SSL = 0\n"
        "[debug]\n"
        "restbrokerdl = 1\n"
        "[TCKeyTable]\n"
        "IEEEAddress01 = 0x00\n"
        "TCLinkKey1 = 0x00\n"
        "[Main]\n"
        "debugEnable = 1\n");
    const std::string f = "WARNING: " + file.path();
    EXPECT_EQ(problemsOf(file.path()),
              (std::vector<std::string>{
                  f + ":1: unknown key top outside any section",
                  f + ":5: unknown key main:frobnicate",
                  f + ":6: unknown key main:ChannelMask - did you mean "
                      "DefaultStartupAttributeSet:ChannelMask?",
                  f + ":7: unknown section [RESTSever] - did you mean RESTServer?",
                  f + ":8: unknown key RESTSever:serverPort - did you mean RESTServer:serverPorts?",
                  f + ":10: unknown key RESTServer:serverPort - did you mean "
                      "RESTServer:serverPorts?",
                  f + ":16: unknown key TCKeyTable:TCLinkKey1 - did you mean "
                      "TCKeyTable:TCLinkKey01?",
                  // A section that comes again is one section; its key is where it stands.
                  f + ":18: unknown key Main:debugEnable - did you mean main:debugEnabled?",
              }));
}

TEST(ConfigurationCheck, TheSampleConfigurationIsAllKnown) {
    EXPECT_EQ(problemsOf(std::string(ORQ_SOURCE_DIR) + "/config/config.ini"),
              std::vector<std::string>());
}

// Every "Section:key" the gateway reads is in the table, so no key it reads is warned about.
TEST(ConfigurationCheck, EveryKeyTheGatewayReadsIsKnown) {
    std::set<std::string> known;
    for (const ConfigurationKey& k : knownConfigurationKeys()) {
        known.insert(std::string(k.section) + ":" + k.key);
    }
    const std::regex literal("\"([A-Za-z]+:[A-Za-z_]+)\"");
    int found = 0;
    for (const char* dir : {"/gateway", "/zigbee"}) {
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(std::string(ORQ_SOURCE_DIR) + dir)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".cpp" && ext != ".h") {
                continue;
            }
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            const std::string source = text.str();
            for (std::sregex_iterator m(source.begin(), source.end(), literal), end; m != end;
                 ++m) {
                const std::string name = (*m)[1];
                if (name != "section:key") {
                    ++found;
                    EXPECT_EQ(known.count(name), 1u) << name << " in " << entry.path();
                }
            }
        }
    }
    EXPECT_GT(found, 40);
}

}  // namespace

// Each rule of the table against values on both sides of its edges: empty means orq takes the
// value as written, else the start of the problem text.
TEST(ConfigurationCheck, ValuesAreCheckedAgainstTheRangeOfTheirKey) {
    TempFile readable("x");
    const struct {
        const char* key;
        const char* value;
        const char* problem;
    } cases[] = {
        {"RESTServer:connectionsPerAddress", "1", ""},
        {"RESTServer:connectionsPerAddress", "256", ""},
        {"RESTServer:connectionsPerAddress", "0", "not 1 to 256"},
        {"RESTServer:connectionsPerAddress", "257", "not 1 to 256"},
        {"restserver:CONNECTIONSperaddress", " 0x10 ", ""},
        {"TCKeyTable:TCKeyTableSize", "9", ""},
        {"TCKeyTable:TCKeyTableSize", "10", "not 0 to 9"},
        {"main:startupMode", "2", ""},
        {"main:startupMode", "3", "not 0 to 2"},
        {"main:startupMode", "1x", "not a whole number"},
        {"main:startupMode", "", "not a whole number"},
        {"Recovery:restartTimeoutMs", "0", "not 1 to 3600000"},
        {"Recovery:missedConfirms", "0", ""},
        {"main:debugEnabled", "1", ""},
        {"main:debugEnabled", "2", "not 0 or 1"},
        {"main:autostart", "yes", "not a whole number"},
        {"main:discoveryPacingMs", "99999999999", "not a whole number"},
        {"DefaultStartupAttributeSet:ChannelMask", "0", ""},
        {"DefaultStartupAttributeSet:ChannelMask", "11", ""},
        {"DefaultStartupAttributeSet:ChannelMask", "26", ""},
        {"DefaultStartupAttributeSet:ChannelMask", "10", "not 0 (every channel)"},
        {"DefaultStartupAttributeSet:ChannelMask", "0x100000", "not 0 (every channel)"},
        {"DefaultStartupAttributeSet:ChannelMask", nullptr, "absent: it must be set"},
        {"DefaultStartupAttributeSet:PANId", nullptr, ""},
        {"DefaultStartupAttributeSet:ExtendedPanId", "0x00 01 2 3 4 5 6 0xff", ""},
        {"DefaultStartupAttributeSet:ExtendedPanId", "00 01 02", "3 bytes, not 8"},
        {"TCKeyTable:TCLinkKey07", "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 100",
         "'100' is not a hexadecimal byte"},
        {"RESTServer:serverPorts", "0, 9000s 127.0.0.1:65535", ""},
        {"RESTServer:serverPorts", "65536", "'65536' is not a port"},
        {"RESTServer:serverPorts", "localhost:80", "'localhost:80' names no IPv4 address"},
        {"RESTServer:serverPorts", " , ", "no port"},
        {"RESTServer:sslCertFile", readable.path().c_str(), ""},
        {"RESTServer:httpDigestAuthPwdFile", "/nonexistent/htdigest", "cannot be read: No such"},
        {"main:gwStatusChanged_DefaultURIListener", "anything", ""},
    };
    for (const auto& c : cases) {
        const ConfigurationKey* key = findConfigurationKey(c.key);
        ASSERT_NE(key, nullptr) << c.key;
        const std::string problem = valueProblem(*key, c.value);
        EXPECT_EQ(problem.substr(0, std::strlen(c.problem)), c.problem)
            << c.key << " = " << (c.value != nullptr ? c.value : "(absent)");
        EXPECT_EQ(problem.empty(), *c.problem == '\0') << c.key << ": " << problem;
    }
    EXPECT_EQ(findConfigurationKey("RESTServer:serverPort"), nullptr);
    EXPECT_EQ(findConfigurationKey("TCKeyTable:TCLinkKey1"), nullptr);
}
