#include "ConfigurationCheck.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <limits>
#include <map>
#include <utility>

#include "ConfigurationRepository.h"

namespace {

std::string lowered(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string stripped(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Edit distance with adjacent transpositions (optimal string alignment): "ChanelMask" is one
// edit from "ChannelMask", "serevrPorts" one from "serverPorts".
size_t distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// How far a name may be from a known one to be suggested: a slip of the keyboard, not a
// different word.
size_t closeEnough(const std::string& name) {
    return name.size() <= 4 ? 1 : name.size() <= 8 ? 2 : 3;
}

// `name` split into its text and the decimal digits it ends with.
std::pair<std::string, std::string> splitIndex(const std::string& name) {
    size_t end = name.size();
    while (end > 0 && std::isdigit(static_cast<unsigned char>(name[end - 1]))) {
        --end;
    }
    return {name.substr(0, end), name.substr(end)};
}

// The name of `known` as a key that matches `typed` (the entry index of an indexed key taken
// from `typed`, at least two digits).
std::string spelled(const ConfigurationKey& known, const std::string& typed) {
    std::string name = std::string(known.section) + ":" + known.key;
    if (known.indexed) {
        std::string index = splitIndex(typed).second;
        name += std::string(index.size() < 2 ? 2 - index.size() : 0, '0') + index;
    }
    return name;
}

bool isKnownSection(const std::string& section) {
    for (const ConfigurationKey& k : knownConfigurationKeys()) {
        if (lowered(k.section) == section) {
            return true;
        }
    }
    return false;
}

// Whether lower-case `key` is `known`'s key.
bool sameKey(const ConfigurationKey& known, const std::string& key) {
    if (!known.indexed) {
        return lowered(known.key) == key;
    }
    const auto parts = splitIndex(key);
    return parts.second.size() >= 2 && lowered(known.key) == parts.first;
}

bool isKnownKey(const std::string& section, const std::string& key) {
    for (const ConfigurationKey& k : knownConfigurationKeys()) {
        if (lowered(k.section) == section && sameKey(k, key)) {
            return true;
        }
    }
    return false;
}

std::string suggestSection(const std::string& section) {
    std::string best;
    size_t bestDistance = closeEnough(section) + 1;
    for (const ConfigurationKey& k : knownConfigurationKeys()) {
        const size_t d = distance(section, lowered(k.section));
        if (d < bestDistance) {
            bestDistance = d;
            best = k.section;
        }
    }
    return best;
}

// The known key nearest to lower-case `key` of `section`: the same key in another section,
// else the closest key name, the closest section deciding between equally close keys.
std::string suggestKey(const std::string& section, const std::string& key) {
    for (const ConfigurationKey& k : knownConfigurationKeys()) {
        if (sameKey(k, key)) {
            return spelled(k, key);
        }
    }
    const ConfigurationKey* best = nullptr;
    std::pair<size_t, size_t> bestDistance{closeEnough(key) + 1, 0};
    for (const ConfigurationKey& k : knownConfigurationKeys()) {
        const std::string typed = k.indexed ? splitIndex(key).first : key;
        const std::pair<size_t, size_t> d{distance(typed, lowered(k.key)),
                                          distance(section, lowered(k.section))};
        if (d < bestDistance) {
            bestDistance = d;
            best = &k;
        }
    }
    return best != nullptr ? spelled(*best, key) : std::string();
}

// Where a name stands in the file, as written there.
struct Place {
    int line = 0;
    std::string section;
    std::string key;
};

// The sections ("section") and keys ("section:key"), lower case, of the file's lines, each at
// its first line. Lines are read as the INI reader does: blanks stripped, ";" and "#" start a
// comment line, "[name]" a section, "key = value" a key; a line ending in "\" goes on on the
// next line.
std::map<std::string, Place> placesOf(const std::string& filename) {
    std::map<std::string, Place> places;
    std::ifstream file(filename);
    std::string raw;
    std::string section;
    std::string sectionSpelled;
    bool continued = false;
    for (int number = 1; std::getline(file, raw); ++number) {
        const std::string line = stripped(raw);
        const bool wasContinued = continued;
        continued = !line.empty() && line.back() == '\\';
        if (wasContinued || line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line[0] == '[' && line.find(']') != std::string::npos) {
            sectionSpelled = stripped(line.substr(1, line.find(']') - 1));
            section = lowered(sectionSpelled);
            places.emplace(section, Place{number, sectionSpelled, std::string()});
            continue;
        }
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            const std::string key = stripped(line.substr(0, equals));
            places.emplace(section + ":" + lowered(key), Place{number, sectionSpelled, key});
        }
    }
    return places;
}

}  // namespace

const std::vector<ConfigurationKey>& knownConfigurationKeys() {
    static const std::vector<ConfigurationKey> keys = {
        {"main", "debugEnabled", false},
        {"Debug", "DiscoveryAgentDL", false},
        {"Debug", "ManagementAgentDL", false},
        {"Debug", "LocalNodeDL", false},
        {"Debug", "HTTPServerDL", false},
        {"Debug", "HTTPSessionContextDL", false},
        {"Debug", "HTTPClientDL", false},
        {"Debug", "RESTClientDL", false},
        {"Debug", "RESTBrokerDL", false},
        {"Debug", "ModuleSupervisorDL", false},
        {"main", "keepAliveThreshold", false},
        {"main", "keepAliveNumberOfAttempt", false},
        {"main", "forcePingTimeout", false},
        {"main", "discoveryPacingMs", false},
        {"main", "autoDiscoveryUnknownNodes", false},
        {"main", "platform", false},
        {"main", "apscMaxWindowSize", false},
        {"main", "apsInterframeDelay", false},
        {"main", "autostart", false},
        {"main", "startupMode", false},
        {"main", "namespaces", false},
        {"main", "localRegToDAnnce", false},
        {"main", "gwStatusChanged_DefaultURIListener", false},
        {"RESTBroker", "UseDefaultNWKRootURI", false},
        {"RESTBroker", "HelloMsgNotifyPeriod", false},
        {"RESTBroker", "HelloMsg_WSNCAttached_NotifyPeriod", false},
        {"RESTServer", "serverPorts", false},
        {"RESTServer", "ssl", false},
        {"RESTServer", "sslCertFile", false},
        {"RESTServer", "httpDigestAuth", false},
        {"RESTServer", "httpDigestAuthPwdFile", false},
        {"RESTServer", "connectionsPerAddress", false},
        {"RESTClient", "httpOptTimeout", false},
        {"DefaultStartupAttributeSet", "DeviceType", false},
        {"DefaultStartupAttributeSet", "ChannelMask", false},
        {"DefaultStartupAttributeSet", "PANId", false},
        {"DefaultStartupAttributeSet", "ExtendedPanId", false},
        {"DefaultStartupAttributeSet", "StartUpControl", false},
        {"DefaultStartupAttributeSet", "SecurityLevel", false},
        {"DefaultStartupAttributeSet", "networkKey", false},
        {"DefaultStartupAttributeSet", "preconfiguredLinkKey", false},
        {"DefaultStartupAttributeSet", "DefaultEndPoint", false},
        {"DefaultStartupAttributeSet", "freescaleMACAddressValue", false},
        {"TCKeyTable", "TCKeyTableSize", false},
        {"TCKeyTable", "IEEEAddress", true},
        {"TCKeyTable", "TCLinkKey", true},
        {"Recovery", "enabled", false},
        {"Recovery", "backoffFirstMs", false},
        {"Recovery", "backoffMaxMs", false},
        {"Recovery", "confirmTimeoutMs", false},
        {"Recovery", "missedConfirms", false},
        {"Recovery", "probePeriod", false},
        {"Recovery", "restartTimeoutMs", false},
        {"Recovery", "startMode", false},
    };
    return keys;
}

std::string ConfigurationProblem::text() const {
    std::string out = "WARNING: " + file;
    if (line > 0) {
        out += ":" + std::to_string(line);
    }
    if (key.empty()) {
        out += ": unknown section [" + section + "]";
    } else if (section.empty()) {
        out += ": unknown key " + key + " outside any section";
    } else {
        out += ": unknown key " + section + ":" + key;
    }
    if (!suggestion.empty()) {
        out += " - did you mean " + suggestion + "?";
    }
    return out;
}

std::vector<ConfigurationProblem> checkConfiguration(ConfigurationRepository& config) {
    const std::map<std::string, Place> places = placesOf(config.filename());
    std::vector<ConfigurationProblem> problems;
    for (const std::string& name : config.loadedNames()) {
        const size_t colon = name.find(':');
        const std::string section = name.substr(0, colon);
        const std::string key = colon == std::string::npos ? std::string() : name.substr(colon + 1);
        if (colon == std::string::npos ? isKnownSection(section) : isKnownKey(section, key)) {
            continue;
        }
        ConfigurationProblem p;
        p.file = config.filename();
        const auto place = places.find(name);
        if (place != places.end()) {
            p.line = place->second.line;
            p.section = place->second.section;
            p.key = place->second.key;
        } else {
            p.section = section;
            p.key = key;
        }
        p.suggestion =
            colon == std::string::npos ? suggestSection(section) : suggestKey(section, key);
        problems.push_back(std::move(p));
    }
    // The dictionary keeps a section that comes twice where it first came: the file's order.
    std::stable_sort(problems.begin(), problems.end(),
                     [](const ConfigurationProblem& a, const ConfigurationProblem& b) {
                         const int last = std::numeric_limits<int>::max();
                         return (a.line == 0 ? last : a.line) < (b.line == 0 ? last : b.line);
                     });
    return problems;
}
