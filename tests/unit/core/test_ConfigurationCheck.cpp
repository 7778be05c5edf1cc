#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
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
        "sls = 0\n"
        "sxx = 0\n"
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
                  // Two letters swapped are one slip; a short name allows one slip only.
                  f + ":12: unknown key RESTServer:sls - did you mean RESTServer:ssl?",
                  f + ":13: unknown key RESTServer:sxx",
                  f + ":18: unknown key TCKeyTable:TCLinkKey1 - did you mean "
                      "TCKeyTable:TCLinkKey01?",
                  // A section that comes again is one section; its key is where it stands.
                  f + ":20: unknown key Main:debugEnable - did you mean main:debugEnabled?",
              }));
}

TEST(ConfigurationCheck, ValueProblemsNameTheirLineAndKeysThatMustBeThereAreAskedFor) {
    TempFile file(
        "[main]\n"
        "startupMode = 3\n"
        "[RESTServer]\n"
        "httpDigestAuth = 0\n"
        "httpDigestAuthPwdFile = /nonexistent/htdigest\n"
        "ssl = 1\n");
    ConfigurationRepository repo(file.path());
    ASSERT_TRUE(repo.load());
    std::vector<std::string> texts;
    for (const ConfigurationProblem& p : checkConfigurationValues(repo)) {
        texts.push_back(p.text());
    }
    // The password file is not read while digest authentication is off.
    const std::string f = "ERROR: " + file.path();
    EXPECT_EQ(texts, (std::vector<std::string>{
                         f + ":2: main:startupMode = 3 - not 0 to 2",
                         f + ": RESTServer:sslCertFile - absent: RESTServer:ssl = 1 needs it",
                         f + ": DefaultStartupAttributeSet:ChannelMask - absent: it must be set",
                     }));
}

TEST(ConfigurationCheck, TheSampleConfigurationIsAllKnown) {
    EXPECT_EQ(problemsOf(std::string(ORQ_SOURCE_DIR) + "/config/config.ini"),
              std::vector<std::string>());
}

// The "Section:key" literals of a source text: letters, a colon, then letters and
// underscores, between double quotes.
std::vector<std::string> quotedKeys(const std::string& s) {
    const char* word = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_:";
    std::vector<std::string> keys;
    for (size_t open = s.find('"'); open != std::string::npos; open = s.find('"', open + 1)) {
        const size_t close = s.find_first_not_of(word, open + 1);
        const std::string w = s.substr(open + 1, close - open - 1);
        const size_t colon = w.find(':');
        if (close != std::string::npos && s[close] == '"' && colon != std::string::npos &&
            colon > 0 && colon + 1 < w.size() && w.find(':', colon + 1) == std::string::npos &&
            w.find('_') > colon) {
            keys.push_back(w);
            open = close;
        }
    }
    return keys;
}

// Every "Section:key" the gateway reads is in the table, so no key it reads is warned about.
TEST(ConfigurationCheck, EveryKeyTheGatewayReadsIsKnown) {
    std::set<std::string> known;
    for (const ConfigurationKey& k : knownConfigurationKeys()) {
        known.insert(std::string(k.section) + ":" + k.key);
    }
    int found = 0;
    for (const char* dir : {"/gateway", "/zigbee"}) {
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(std::string(ORQ_SOURCE_DIR) + dir)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".cpp" && ext != ".h") {
                continue;
            }
            std::stringstream text;
            text << std::ifstream(entry.path()).rdbuf();
            for (const std::string& key : quotedKeys(text.str())) {
                found += key != "section:key";
                EXPECT_TRUE(key == "section:key" || known.count(key) == 1)
                    << key << " in " << entry.path();
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
        {"DefaultStartupAttributeSet:SecurityLevel", "7", ""},
        {"DefaultStartupAttributeSet:SecurityLevel", "8", "not 0 to 7"},
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
        EXPECT_TRUE(problem.rfind(c.problem, 0) == 0 && problem.empty() == (*c.problem == 0))
            << c.key << " = " << (c.value != nullptr ? c.value : "(absent)") << ": " << problem;
    }
    EXPECT_TRUE(!findConfigurationKey("RESTServer:serverPort") &&
                !findConfigurationKey("TCKeyTable:TCLinkKey1"));
}
