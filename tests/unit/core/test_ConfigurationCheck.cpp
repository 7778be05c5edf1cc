#include <gtest/gtest.h>

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
