#include "ConfigurationCheck.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// `text` read as strtol with base 0 reads it, all of it, and within an int.
bool wholeNumber(const std::string& text, long* number) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    *number = std::strtol(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && *number >= std::numeric_limits<int>::min() &&
           *number <= std::numeric_limits<int>::max();
}

std::vector<std::string> fields(const std::string& text, const char* separators) {
    std::vector<std::string> out;
    size_t at = text.find_first_not_of(separators);
    while (at != std::string::npos) {
        const size_t end = text.find_first_of(separators, at);
        out.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = text.find_first_not_of(separators, end);
    }
    return out;
}

std::string bytesProblem(const std::string& text, size_t count) {
    const std::vector<std::string> bytes = fields(text, " \t");
    for (const std::string& b : bytes) {
        char* end = nullptr;
        const unsigned long v = std::strtoul(b.c_str(), &end, 16);
        if (*end != '\0' || b[0] == '-' || b[0] == '+' || v > 0xFF) {
            return "'" + b + "' is not a hexadecimal byte";
        }
    }
    if (bytes.size() != count) {
        return std::to_string(bytes.size()) + " bytes, not " + std::to_string(count);
    }
    return std::string();
}

// As the HTTP server reads "ports": [IPv4 address:]port[s], port 0 to 65535.
std::string portsProblem(const std::string& text) {
    const std::vector<std::string> items = fields(text, " \t,");
    if (items.empty()) {
        return "no port";
    }
    for (std::string item : items) {
        const std::string written = item;
        if (item.back() == 's' || item.back() == 'S') {
            item.pop_back();
        }
        const size_t colon = item.rfind(':');
        in_addr address{};
        if (colon != std::string::npos &&
            inet_pton(AF_INET, item.substr(0, colon).c_str(), &address) != 1) {
            return "'" + written + "' names no IPv4 address";
        }
        long port = 0;
        const std::string digits = colon == std::string::npos ? item : item.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            !std::all_of(digits.begin(), digits.end(), ::isdigit) ||
            (port = std::strtol(digits.c_str(), nullptr, 10)) > 65535) {
            return "'" + written + "' is not a port 0 to 65535";
        }
    }
    return std::string();
}

}  // namespace

const std::vector<ConfigurationKey>& knownConfigurationKeys() {
    using R = ConfigurationRule;
    constexpr long kMost = std::numeric_limits<int>::max();
    constexpr long kHour = 3600000;
    static const std::vector<ConfigurationKey> keys = {
        {"main", "debugEnabled", false, R::Switch},
        {"Debug", "DiscoveryAgentDL", false, R::Integer, 0, 4},
        {"Debug", "ManagementAgentDL", false, R::Integer, 0, 4},
        {"Debug", "LocalNodeDL", false, R::Integer, 0, 4},
        {"Debug", "HTTPServerDL", false, R::Integer, 0, 4},
        {"Debug", "HTTPSessionContextDL", false, R::Integer, 0, 4},
        {"Debug", "HTTPClientDL", false, R::Integer, 0, 4},
        {"Debug", "RESTClientDL", false, R::Integer, 0, 4},
        {"Debug", "RESTBrokerDL", false, R::Integer, 0, 4},
        {"Debug", "ModuleSupervisorDL", false, R::Integer, 0, 4},
        {"main", "keepAliveThreshold", false, R::Integer, 0, kMost},
        {"main", "keepAliveNumberOfAttempt", false, R::Integer, 0, kMost},
        {"main", "forcePingTimeout", false, R::Integer, 0, kMost},
        {"main", "discoveryPacingMs", false, R::Integer, 0, kMost},
        {"main", "autoDiscoveryUnknownNodes", false, R::Switch},
        {"main", "platform", false, R::Integer, 0, 1},
        {"main", "apscMaxWindowSize", false, R::Integer, 1, 65535},
        {"main", "apsInterframeDelay", false, R::Integer, 0, 65535},
        {"main", "autostart", false, R::Switch},
        {"main", "startupMode", false, R::Integer, 0, 2},
        {"main", "namespaces", false, R::Switch},
        {"main", "localRegToDAnnce", false, R::Switch},
        {"main", "gwStatusChanged_DefaultURIListener", false, R::Text},
        {"RESTBroker", "UseDefaultNWKRootURI", false, R::Switch},
        {"RESTBroker", "HelloMsgNotifyPeriod", false, R::Integer, 1, kMost},
        {"RESTBroker", "HelloMsg_WSNCAttached_NotifyPeriod", false, R::Integer, 1, kMost},
        {"RESTServer", "serverPorts", false, R::Ports},
        {"RESTServer", "ssl", false, R::Switch},
        {"RESTServer", "sslCertFile", false, R::File, 0, 0, false, "RESTServer:ssl"},
        {"RESTServer", "httpDigestAuth", false, R::Switch},
        {"RESTServer", "httpDigestAuthPwdFile", false, R::File, 0, 0, false,
         "RESTServer:httpDigestAuth"},
        {"RESTServer", "connectionsPerAddress", false, R::Integer, 1, 256},
        {"Web", "root", false, R::Text},
        {"RESTClient", "httpOptTimeout", false, R::Integer, 1, kMost},
        {"DefaultStartupAttributeSet", "DeviceType", false, R::Integer, 0, 3},
        {"DefaultStartupAttributeSet", "ChannelMask", false, R::Channel, 0, 0, true},
        {"DefaultStartupAttributeSet", "PANId", false, R::Integer, 0, 65535},
        {"DefaultStartupAttributeSet", "ExtendedPanId", false, R::Bytes, 0, 8},
        {"DefaultStartupAttributeSet", "StartUpControl", false, R::Integer, 0, 255},
        {"DefaultStartupAttributeSet", "SecurityLevel", false, R::Integer, 0, 7},
        {"DefaultStartupAttributeSet", "networkKey", false, R::Bytes, 0, 16},
        {"DefaultStartupAttributeSet", "preconfiguredLinkKey", false, R::Bytes, 0, 16},
        {"DefaultStartupAttributeSet", "DefaultEndPoint", false, R::Integer, 1, 240},
        {"DefaultStartupAttributeSet", "freescaleMACAddressValue", false, R::Switch},
        {"TCKeyTable", "TCKeyTableSize", false, R::Integer, 0, 9},
        {"TCKeyTable", "IEEEAddress", true, R::Bytes, 0, 8},
        {"TCKeyTable", "TCLinkKey", true, R::Bytes, 0, 16},
        {"Recovery", "enabled", false, R::Switch},
        {"Recovery", "backoffFirstMs", false, R::Integer, 1, kHour},
        {"Recovery", "backoffMaxMs", false, R::Integer, 1, kHour},
        {"Recovery", "confirmTimeoutMs", false, R::Integer, 1, kHour},
        {"Recovery", "missedConfirms", false, R::Integer, 0, 1000},
        {"Recovery", "probePeriod", false, R::Integer, 0, 86400},
        {"Recovery", "restartTimeoutMs", false, R::Integer, 1, kHour},
        {"Recovery", "startMode", false, R::Integer, 0, 2},
        {"Recovery", "resetLine", false, R::Text},
        {"Recovery", "resetTimeoutMs", false, R::Integer, 1, kHour},
        {"Storage", "database", false, R::Text},
    };
    return keys;
}

const ConfigurationKey* findConfigurationKey(const std::string& name) {
    const std::string wanted = lowered(name);
    const size_t colon = wanted.find(':');
    if (colon == std::string::npos) {
        return nullptr;
    }
    for (const ConfigurationKey& k : knownConfigurationKeys()) {
        if (lowered(k.section) == wanted.substr(0, colon) && sameKey(k, wanted.substr(colon + 1))) {
            return &k;
        }
    }
    return nullptr;
}

std::string valueProblem(const ConfigurationKey& key, const char* value) {
    if (value == nullptr) {
        return key.required ? "absent: it must be set" : std::string();
    }
    const std::string text = stripped(value);
    switch (key.rule) {
        case ConfigurationRule::Integer:
        case ConfigurationRule::Switch:
        case ConfigurationRule::Channel: {
            long number = 0;
            if (!wholeNumber(text, &number)) {
                return "not a whole number";
            }
            if (key.rule == ConfigurationRule::Switch) {
                return number == 0 || number == 1 ? std::string() : "not 0 or 1";
            }
            if (key.rule == ConfigurationRule::Channel) {
                return number == 0 || (number >= 11 && number <= 26)
                           ? std::string()
                           : "not 0 (every channel) or a channel 11 to 26";
            }
            return number >= key.low && number <= key.high
                       ? std::string()
                       : "not " + std::to_string(key.low) + " to " + std::to_string(key.high);
        }
        case ConfigurationRule::Bytes:
            return bytesProblem(text, static_cast<size_t>(key.high));
        case ConfigurationRule::Ports:
            return portsProblem(text);
        case ConfigurationRule::File: {
            if (text.empty()) {
                return std::string();
            }
            std::ifstream file(text);
            char c;
            if (!file.is_open() || (!file.get(c) && !file.eof())) {
                return std::string("cannot be read: ") + std::strerror(errno);
            }
            return std::string();
        }
        case ConfigurationRule::Text:
            break;
    }
    return std::string();
}

std::string ConfigurationProblem::text() const {
    std::string out = (problem.empty() ? "WARNING: " : "ERROR: ") + file;
    if (line > 0) {
        out += ":" + std::to_string(line);
    }
    if (!problem.empty()) {
        out += ": " + section + ":" + key;
        if (line > 0) {
            out += " = " + value;
        }
        return out + " - " + problem;
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
    const std::vector<std::string> names = config.loadedNames();
    std::vector<ConfigurationProblem> problems;
    for (const std::string& name : names) {
        const size_t colon = name.find(':');
        const std::string section = name.substr(0, colon);
        const std::string key = colon == std::string::npos ? std::string() : name.substr(colon + 1);
        if (colon == std::string::npos ? isKnownSection(section) : isKnownKey(section, key)) {
            continue;
        }
        const bool holdsKeys = std::any_of(names.begin(), names.end(), [&](const std::string& n) {
            return n.compare(0, section.size() + 1, section + ":") == 0;
        });
        if (colon == std::string::npos && !holdsKeys) {
            continue;  // sets nothing, so nothing is lost
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

std::vector<ConfigurationProblem> checkConfigurationValues(ConfigurationRepository& config) {
    const std::map<std::string, Place> places = placesOf(config.filename());
    std::vector<ConfigurationProblem> problems;
    for (const std::string& name : config.loadedNames()) {
        const ConfigurationKey* known = findConfigurationKey(name);
        const char* value = known != nullptr ? config.getstring(name.c_str(), nullptr) : nullptr;
        const bool read = known != nullptr &&
                          (known->switchKey == nullptr || config.getint(known->switchKey, 0) == 1);
        const std::string problem =
            value != nullptr && read ? valueProblem(*known, value) : std::string();
        if (problem.empty()) {
            continue;
        }
        ConfigurationProblem p;
        p.file = config.filename();
        const auto place = places.find(name);
        p.line = place != places.end() ? place->second.line : 0;
        p.section = known->section;
        p.key = place != places.end() ? place->second.key : known->key;
        p.value = stripped(value);
        p.problem = problem;
        problems.push_back(std::move(p));
    }
    std::stable_sort(problems.begin(), problems.end(),
                     [](const ConfigurationProblem& a, const ConfigurationProblem& b) {
                         return a.line < b.line;
                     });
    for (const ConfigurationKey& k : knownConfigurationKeys()) {
        const std::string name = std::string(k.section) + ":" + k.key;
        const bool needed =
            k.required || (k.switchKey != nullptr && config.getint(k.switchKey, 0) == 1);
        if (needed && !k.indexed && config.getstring(name.c_str(), nullptr) == nullptr) {
            ConfigurationProblem p;
            p.file = config.filename();
            p.section = k.section;
            p.key = k.key;
            p.problem = k.required ? valueProblem(k, nullptr)
                                   : std::string("absent: ") + k.switchKey + " = 1 needs it";
            problems.push_back(std::move(p));
        }
    }
    return problems;
}
