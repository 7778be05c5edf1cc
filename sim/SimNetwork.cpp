#include "SimNetwork.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

namespace zbsim {

const char* toString(LogicalType t) {
    switch (t) {
        case LogicalType::Coordinator:
            return "coordinator";
        case LogicalType::Router:
            return "router";
        case LogicalType::EndDevice:
            return "end_device";
    }
    return "?";
}

const char* toString(NodeState s) {
    switch (s) {
        case NodeState::Absent:
            return "absent";
        case NodeState::Up:
            return "up";
        case NodeState::Silent:
            return "silent";
        case NodeState::Dead:
            return "dead";
    }
    return "?";
}

const char* toString(AppKind a) {
    switch (a) {
        case AppKind::None:
            return "none";
        case AppKind::OnOffLight:
            return "light";
        case AppKind::TemperatureSensor:
            return "temperature";
    }
    return "?";
}

bool SimpleDesc::hasIn(uint16_t c) const {
    return std::find(in.begin(), in.end(), c) != in.end();
}
bool SimpleDesc::hasOut(uint16_t c) const {
    return std::find(out.begin(), out.end(), c) != out.end();
}

const SimpleDesc* Node::endpoint(uint8_t ep) const {
    for (const auto& d : endpoints)
        if (d.ep == ep)
            return &d;
    return nullptr;
}

const SimpleDesc* Node::endpointWithInCluster(uint16_t cluster) const {
    for (const auto& d : endpoints)
        if (d.hasIn(cluster))
            return &d;
    return nullptr;
}

bool Node::permitsJoining(int64_t nowMs) const {
    if (type == LogicalType::EndDevice || !answers())
        return false;
    return permitJoinUntilMs == -1 || permitJoinUntilMs > nowMs;
}

std::vector<uint8_t> Node::nodeDescriptor() const {
    uint16_t serverMask = type == LogicalType::Coordinator ? 0x0041 : 0x0000;
    return {static_cast<uint8_t>(type),
            0x40,  // 2.4 GHz band
            macCap,
            static_cast<uint8_t>(manufacturer & 0xFF),
            static_cast<uint8_t>(manufacturer >> 8),
            0x50,  // maximum buffer size
            0x50,
            0x00,  // maximum incoming transfer size
            static_cast<uint8_t>(serverMask & 0xFF),
            static_cast<uint8_t>(serverMask >> 8),
            0x50,
            0x00,   // maximum outgoing transfer size
            0x00};  // descriptor capability
}

bool parseNumber(const std::string& text, unsigned long& out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text.c_str(), &end, 0);
    return errno == 0 && end && *end == '\0';
}

static bool parseShort(const std::string& text, uint16_t& out) {
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t = t.substr(2);
    if (t.empty() || t.size() > 4)
        return false;
    for (char c : t)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    out = static_cast<uint16_t>(std::strtoul(t.c_str(), nullptr, 16));
    return true;
}

bool parseIeee(const std::string& text, uint64_t& out) {
    std::string hex;
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t = t.substr(2);
    for (char c : t) {
        if (c == ':' || c == '-')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        hex.push_back(c);
    }
    if (hex.size() != 16)
        return false;
    out = std::strtoull(hex.c_str(), nullptr, 16);
    return true;
}

static std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\"");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\"");
    return s.substr(b, e - b + 1);
}

static std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> v;
    std::string cur;
    std::istringstream in(s);
    while (std::getline(in, cur, sep)) {
        cur = trim(cur);
        if (!cur.empty())
            v.push_back(cur);
    }
    return v;
}

static bool parseClusterList(const std::string& text, std::vector<uint16_t>& out) {
    out.clear();
    for (const auto& item : split(text, ',')) {
        unsigned long v;
        if (!parseNumber(item, v) || v > 0xFFFF)
            return false;
        out.push_back(static_cast<uint16_t>(v));
    }
    return true;
}

// "profile=0x0104 device=0x0100 version=0 in=0x0000,0x0006 out=0x0019"
static bool parseEndpoint(uint8_t ep, const std::string& text, SimpleDesc& d, std::string& err) {
    d = SimpleDesc{};
    d.ep = ep;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        size_t eq = word.find('=');
        if (eq == std::string::npos) {
            err = "expected key=value, got '" + word + "'";
            return false;
        }
        std::string k = word.substr(0, eq), v = word.substr(eq + 1);
        unsigned long n = 0;
        if (k == "in" || k == "out") {
            if (!parseClusterList(v, k == "in" ? d.in : d.out)) {
                err = "bad cluster list '" + v + "'";
                return false;
            }
        } else if (parseNumber(v, n) && (k == "profile" || k == "device") && n <= 0xFFFF) {
            (k == "profile" ? d.profile : d.device) = static_cast<uint16_t>(n);
        } else if (k == "version" && parseNumber(v, n) && n <= 15) {
            d.version = static_cast<uint8_t>(n);
        } else {
            err = "bad end point field '" + word + "'";
            return false;
        }
    }
    return true;
}

namespace {
// One section of the file, its keys and values.
using Section = std::unordered_map<std::string, std::string>;

struct Ini {
    const Section* s;
    std::string get(const char* key, const std::string& def = "") const {
        auto it = s->find(key);
        return it == s->end() ? def : trim(it->second);
    }
    bool has(const char* key) const { return s->count(key) != 0; }
    // iniparser's reading of a boolean: y, t or 1 for true; n, f or 0 for false.
    int boolean(const char* key, int def) const {
        std::string v = get(key);
        if (v.empty())
            return def;
        char c = v[0];
        if (c == 'y' || c == 'Y' || c == 't' || c == 'T' || c == '1')
            return 1;
        if (c == 'n' || c == 'N' || c == 'f' || c == 'F' || c == '0')
            return 0;
        return def;
    }
};
}  // namespace

bool Network::addNode(const Node& n, std::string& err) {
    if (nodes_.count(n.nwk)) {
        err = "duplicate short address for " + n.name;
        return false;
    }
    if (ieees_.count(n.ieee)) {
        err = "duplicate IEEE address for " + n.name;
        return false;
    }
    if (names_.count(n.name)) {
        err = "duplicate node name " + n.name;
        return false;
    }
    ieees_.insert(n.ieee);
    names_.insert(n.name);
    nodes_[n.nwk] = n;
    return true;
}

namespace {
std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
std::string strip(const std::string& s) {  // blanks only
    size_t b = s.find_first_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// Reads an INI file as iniparser does (section and key names lower-cased, ';' and '#' comments,
// quoted values, a trailing backslash continuing a line, a later key replacing an earlier one),
// in one pass: iniparser's loader scans every key before it for each key it stores, so its time
// grows with the square of the file. Fails with the line number of a line it cannot read.
bool readIni(const std::string& path, std::vector<std::string>& order,
             std::unordered_map<std::string, Section>& sections, std::string& err) {
    std::ifstream in(path);
    if (!in) {
        err = "cannot read " + path;
        return false;
    }
    std::string raw, line, section;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        std::string t = strip(raw);
        if (!t.empty() && t.back() == '\\') {  // continued on the next line
            line += t.substr(0, t.size() - 1);
            continue;
        }
        t = strip(line + t);
        line.clear();
        if (t.empty() || t[0] == ';' || t[0] == '#')
            continue;
        if (t[0] == '[' && t.back() == ']') {
            section = lower(strip(t.substr(1, t.size() - 2)));
            if (!sections.count(section))
                order.push_back(section);
            sections[section];
            continue;
        }
        size_t eq = t.find('=');
        if (eq == std::string::npos || section.empty()) {
            err = path + ":" + std::to_string(number) + ": expected [section] or key = value";
            return false;
        }
        std::string key = lower(strip(t.substr(0, eq))), value = strip(t.substr(eq + 1));
        if (!value.empty() && (value[0] == '"' || value[0] == '\'')) {
            size_t close = value.find(value[0], 1);
            value = value.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        } else {
            value = strip(value.substr(0, value.find_first_of(";#")));
        }
        sections[section][key] = value;
    }
    if (in.bad()) {
        err = "cannot read " + path;
        return false;
    }
    return true;
}
}  // namespace

bool Network::load(const std::string& path, std::string& err) {
    std::vector<std::string> order;
    std::unordered_map<std::string, Section> sections;
    if (!readIni(path, order, sections, err))
        return false;
    static const Section kEmpty;
    auto section = [&](const std::string& name) {
        auto it = sections.find(name);
        return Ini{it == sections.end() ? &kEmpty : &it->second};
    };

    nodes_.clear();
    ieees_.clear();
    names_.clear();
    auto fail = [&](const std::string& sec, const std::string& what) {
        err = "[" + sec + "] " + what;
        return false;
    };
    unsigned long n = 0;
    Ini m = section("module");
    if (m.has("ieee") && !parseIeee(m.get("ieee"), config_.ieee))
        return fail("module", "bad ieee");
    if (m.has("coordinator_ieee") && !parseIeee(m.get("coordinator_ieee"), config_.coordinatorIeee))
        return fail("module", "bad coordinator_ieee");
    if (m.has("extended_pan_id") && !parseIeee(m.get("extended_pan_id"), config_.extPanId))
        return fail("module", "bad extended_pan_id");
    if (m.has("channel")) {
        if (!parseNumber(m.get("channel"), n) || n < 11 || n > 26)
            return fail("module", "channel must be 11 to 26");
        config_.channel = static_cast<uint8_t>(n);
    }
    if (m.has("pan_id")) {
        if (!parseNumber(m.get("pan_id"), n) || n >= 0xFFFF)
            return fail("module", "bad pan_id");
        config_.panId = static_cast<uint16_t>(n);
    }
    if (m.has("join_address") && !parseShort(m.get("join_address"), config_.joinAddress))
        return fail("module", "bad join_address");
    if (m.has("join_parent") && !parseShort(m.get("join_parent"), config_.joinParent))
        return fail("module", "bad join_parent");
    struct IntKey {
        const char* key;
        int* field;
        int lo, hi;
    } ints[] = {{"assoc_per_response", &config_.assocPerResponse, 1, 118},
                {"lqi_per_response", &config_.lqiPerResponse, 1, 11},
                {"binding_capacity", &config_.bindingCapacity, 0, 255},
                {"reboot_ms", &config_.rebootMs, 0, 900},
                {"poll_ms", &config_.pollMs, 1, 60000}};
    for (const auto& k : ints) {
        if (!m.has(k.key))
            continue;
        if (!parseNumber(m.get(k.key), n) || static_cast<long>(n) < k.lo ||
            static_cast<long>(n) > k.hi)
            return fail("module", std::string("bad ") + k.key);
        *k.field = static_cast<int>(n);
    }
    module_ = Node{};
    module_.name = "module";
    module_.ieee = config_.ieee;
    module_.isModule = true;

    // Parents may name nodes defined later: collect the references and resolve them at the end.
    std::vector<std::pair<uint16_t, std::string>> parentRefs, neighborRefs;
    std::vector<std::pair<uint16_t, std::string>> bindingRefs, alsoRefs;
    for (const std::string& sec : order) {
        if (sec == "module")
            continue;
        Ini s = section(sec);
        Node node;
        node.name = sec;
        if (!parseIeee(s.get("ieee"), node.ieee))
            return fail(sec, "missing or bad ieee");
        if (!parseShort(s.get("short"), node.nwk))
            return fail(sec, "missing or bad short");
        std::string type = s.get("type", "router");
        if (type == "coordinator")
            node.type = LogicalType::Coordinator;
        else if (type == "router")
            node.type = LogicalType::Router;
        else if (type == "end_device" || type == "enddevice")
            node.type = LogicalType::EndDevice;
        else
            return fail(sec, "type must be coordinator, router or end_device");
        if (node.type == LogicalType::Coordinator && node.nwk != 0)
            return fail(sec, "a coordinator has short address 0x0000");
        int rx = s.boolean("rx_on_idle", node.type != LogicalType::EndDevice);
        node.rxOnWhenIdle = rx != 0;
        std::string power = s.get("power", node.rxOnWhenIdle ? "mains" : "battery");
        uint8_t src;
        if (power == "mains")
            src = 1;
        else if (power == "rechargeable")
            src = 2;
        else if (power == "battery")
            src = 4;
        else
            return fail(sec, "power must be mains, rechargeable or battery");
        unsigned long level = 100;
        if (s.has("power_level") && (!parseNumber(s.get("power_level"), level) || level > 100))
            return fail(sec, "power_level must be 0 to 100");
        uint8_t levelCode = level >= 100 ? 12 : level >= 66 ? 8 : level >= 33 ? 4 : 0;
        node.power[0] = static_cast<uint8_t>((src << 4) | (node.rxOnWhenIdle ? 0 : 1));
        node.power[1] = static_cast<uint8_t>((levelCode << 4) | src);
        node.macCap = static_cast<uint8_t>(0x80 | (node.type != LogicalType::EndDevice ? 0x02 : 0) |
                                           (src == 1 ? 0x04 : 0) | (node.rxOnWhenIdle ? 0x08 : 0));
        if (s.has("power_descriptor")) {
            std::vector<uint16_t> raw;
            if (!parseClusterList(s.get("power_descriptor"), raw) || raw.size() != 2 ||
                raw[0] > 0xFF || raw[1] > 0xFF)
                return fail(sec, "power_descriptor is two bytes, e.g. 0x10,0xC1");
            node.power[0] = static_cast<uint8_t>(raw[0]);
            node.power[1] = static_cast<uint8_t>(raw[1]);
        }
        if (s.has("mac_capability")) {
            if (!parseNumber(s.get("mac_capability"), n) || n > 0xFF)
                return fail(sec, "bad mac_capability");
            node.macCap = static_cast<uint8_t>(n);
        }
        if (s.has("manufacturer")) {
            if (!parseNumber(s.get("manufacturer"), n) || n > 0xFFFF)
                return fail(sec, "bad manufacturer");
            node.manufacturer = static_cast<uint16_t>(n);
        }
        node.manufacturerName = s.get("manufacturer_name", "zbsim");
        node.model = s.get("model", sec);
        if (s.has("lqi")) {
            if (!parseNumber(s.get("lqi"), n) || n > 255)
                return fail(sec, "bad lqi");
            node.lqi = static_cast<uint8_t>(n);
        }
        for (const auto& epText : split(s.get("endpoints"), ',')) {
            if (!parseNumber(epText, n) || n < 1 || n > 240)
                return fail(sec, "end points are 1 to 240");
            std::string key = "ep" + std::to_string(n);
            if (!s.has(key.c_str()))
                return fail(sec, "missing " + key);
            SimpleDesc sd;
            std::string why;
            if (!parseEndpoint(static_cast<uint8_t>(n), s.get(key.c_str()), sd, why))
                return fail(sec, key + ": " + why);
            node.endpoints.push_back(sd);
        }
        std::string app = s.get("app", "none");
        if (app == "light") {
            node.app = AppKind::OnOffLight;
            if (!node.endpointWithInCluster(0x0006))
                return fail(sec, "a light needs an end point with input cluster 0x0006");
        } else if (app == "temperature") {
            node.app = AppKind::TemperatureSensor;
            if (!node.endpointWithInCluster(0x0402))
                return fail(sec, "a temperature sensor needs input cluster 0x0402");
        } else if (app != "none") {
            return fail(sec, "app must be light, temperature or none");
        }
        if (s.has("temperature"))
            node.temperature = std::atof(s.get("temperature").c_str());
        if (s.has("report_interval")) {
            if (!parseNumber(s.get("report_interval"), n) || n > 86400)
                return fail(sec, "bad report_interval");
            node.reportIntervalS = static_cast<int>(n);
        } else if (node.app == AppKind::TemperatureSensor) {
            node.reportIntervalS = 30;
        }
        if (s.has("report_endpoint")) {
            if (!parseNumber(s.get("report_endpoint"), n) || n < 1 || n > 240)
                return fail(sec, "bad report_endpoint");
            node.reportEndpoint = static_cast<uint8_t>(n);
        }
        if (s.has("latency_ms")) {
            if (!parseNumber(s.get("latency_ms"), n) || n > 60000)
                return fail(sec, "latency_ms must be 0 to 60000");
            node.latencyMs = static_cast<int>(n);
        }
        if (s.has("loss")) {
            if (!parseNumber(s.get("loss"), n) || n > 100)
                return fail(sec, "loss must be 0 to 100");
            node.lossPercent = static_cast<int>(n);
        }
        if (s.has("rejoin_short")) {
            if (!parseShort(s.get("rejoin_short"), node.rejoinShort) || node.rejoinShort == 0 ||
                node.rejoinShort >= 0xFFF8)
                return fail(sec, "bad rejoin_short");
        }
        if (s.has("also_parent"))
            alsoRefs.emplace_back(node.nwk, s.get("also_parent"));
        node.onOff = s.boolean("on", 0) != 0;
        node.state = s.boolean("joined", 1) ? NodeState::Up : NodeState::Absent;
        if (node.type != LogicalType::Coordinator)
            parentRefs.emplace_back(node.nwk, s.get("parent", "0x0000"));
        if (s.has("neighbors")) {
            node.neighborsGiven = true;
            neighborRefs.emplace_back(node.nwk, s.get("neighbors"));
        }
        if (s.has("bindings"))
            bindingRefs.emplace_back(node.nwk, s.get("bindings"));
        std::string why;
        if (!addNode(node, why))
            return fail(sec, why);
    }
    if (!nodes_.count(0)) {
        Node c;
        c.name = "coordinator";
        c.ieee = config_.coordinatorIeee;
        c.nwk = 0;
        c.type = LogicalType::Coordinator;
        c.macCap = 0x8F;
        std::string why;
        if (!addNode(c, why))
            return fail("module", "coordinator_ieee: " + why);
    }
    std::unordered_map<std::string, uint16_t> byName;
    for (const auto& kv : nodes_)
        byName[kv.second.name] = kv.first;
    auto resolve = [&](const std::string& ref, uint16_t& out) {
        auto it = byName.find(ref);
        if (it != byName.end()) {
            out = it->second;
            return true;
        }
        if (ref == "coordinator" || ref == "module") {
            out = 0;
            return true;
        }
        return parseShort(ref, out) && (out == 0 || nodes_.count(out));
    };
    for (const auto& pr : parentRefs) {
        Node& node = nodes_[pr.first];
        uint16_t p;
        if (!resolve(pr.second, p) || p == node.nwk)
            return fail(node.name, "bad parent " + pr.second);
        if (nodes_.count(p) && nodes_[p].type == LogicalType::EndDevice)
            return fail(node.name, "an end device cannot be a parent");
        node.parent = p;
    }
    for (const auto& ar : alsoRefs) {
        Node& node = nodes_[ar.first];
        uint16_t p;
        if (!resolve(ar.second, p) || p == node.nwk || p == node.parent ||
            (nodes_.count(p) && nodes_[p].type == LogicalType::EndDevice))
            return fail(node.name, "bad also_parent " + ar.second);
        node.alsoParent = p;
    }
    for (const auto& nr : neighborRefs) {
        Node& node = nodes_[nr.first];
        for (const auto& item : split(nr.second, ',')) {
            size_t colon = item.rfind(':');
            NeighborLink l;
            l.lqi = node.lqi;
            std::string ref = item;
            if (colon != std::string::npos) {
                ref = trim(item.substr(0, colon));
                if (!parseNumber(trim(item.substr(colon + 1)), n) || n > 255)
                    return fail(node.name, "bad neighbour " + item);
                l.lqi = static_cast<uint8_t>(n);
            }
            if (!resolve(ref, l.addr))
                return fail(node.name, "bad neighbour " + item);
            node.neighbors.push_back(l);
        }
    }
    for (const auto& br : bindingRefs) {
        Node& node = nodes_[br.first];
        for (const auto& item : split(br.second, ',')) {
            std::istringstream in(item);
            std::string ep, cl, dst, dep;
            unsigned long a, b, c;
            Binding bd;
            if (!(in >> ep >> cl >> dst >> dep) || !parseNumber(ep, a) || !parseNumber(cl, b) ||
                !parseNumber(dep, c) || a > 240 || b > 0xFFFF || c > 255)
                return fail(node.name, "binding must be 'src_ep cluster dst_ieee dst_ep': " + item);
            bd.srcIeee = node.ieee;
            bd.srcEp = static_cast<uint8_t>(a);
            bd.cluster = static_cast<uint16_t>(b);
            bd.dstEp = static_cast<uint8_t>(c);
            if (!parseIeee(dst, bd.dstIeee)) {
                Node* target = findRef(dst);
                if (!target)
                    return fail(node.name, "bad binding destination " + dst);
                bd.dstIeee = target->ieee;
            }
            node.bindings.push_back(bd);
        }
    }
    return true;
}

void Network::attachModule(LogicalType type, uint64_t ieee, uint16_t nwk, uint16_t parent) {
    module_.type = type;
    module_.ieee = ieee;
    module_.nwk = nwk;
    module_.parent = parent;
    module_.rxOnWhenIdle = true;
    module_.state = NodeState::Up;
    module_.macCap = type == LogicalType::Coordinator ? 0x8F
                     : type == LogicalType::Router    ? 0x8E
                                                      : 0x8C;
    module_.power[0] = 0x10;
    module_.power[1] = 0xC1;
    moduleIn_ = true;
}

Node* Network::find(uint16_t nwk) {
    if (moduleIn_ && module_.nwk == nwk)
        return &module_;
    auto it = nodes_.find(nwk);
    if (it == nodes_.end())
        return nullptr;
    // While the module is the coordinator, a coordinator of the file is not part of the network.
    if (moduleIn_ && module_.type == LogicalType::Coordinator && nwk == 0)
        return nullptr;
    return &it->second;
}

Node* Network::findIeee(uint64_t ieee) {
    if (moduleIn_ && module_.ieee == ieee)
        return &module_;
    for (auto& kv : nodes_)
        if (kv.second.ieee == ieee)
            return find(kv.first) == &kv.second ? &kv.second : nullptr;
    return nullptr;
}

Node* Network::findRef(const std::string& ref) {
    if (ref == "module")
        return &module_;
    for (auto& kv : nodes_)
        if (kv.second.name == ref)
            return &kv.second;
    uint64_t ieee;
    if (ref.size() >= 16 && parseIeee(ref, ieee)) {
        if (module_.ieee == ieee)
            return &module_;
        for (auto& kv : nodes_)
            if (kv.second.ieee == ieee)
                return &kv.second;
        return nullptr;
    }
    uint16_t a;
    if (parseShort(ref, a)) {
        if (moduleIn_ && module_.nwk == a)
            return &module_;
        auto it = nodes_.find(a);
        return it == nodes_.end() ? nullptr : &it->second;
    }
    return nullptr;
}

std::vector<Node*> Network::all() {
    std::vector<Node*> v;
    v.reserve(nodes_.size() + 1);
    if (moduleIn_)
        v.push_back(&module_);
    for (auto& kv : nodes_)
        if (find(kv.first) == &kv.second)
            v.push_back(&kv.second);
    return v;
}

std::vector<Node*> Network::children(uint16_t nwk, bool secondToo) {
    std::vector<Node*> v;
    Node* self = find(nwk);
    if (!self || self->type == LogicalType::EndDevice)
        return v;
    std::vector<Node*> cand;
    for (auto& kv : nodes_)
        if ((kv.second.parent == nwk || (secondToo && kv.second.alsoParent == nwk)) &&
            kv.first != nwk && kv.second.type != LogicalType::Coordinator)
            cand.push_back(&kv.second);
    if (moduleIn_ && module_.type != LogicalType::Coordinator && module_.parent == nwk)
        cand.push_back(&module_);
    for (Node* c : cand)
        if (c->present() && find(c->nwk) == c)
            v.push_back(c);
    std::sort(v.begin(), v.end(), [](Node* a, Node* b) { return a->nwk < b->nwk; });
    return v;
}

int Network::depth(const Node& n) {
    int d = 0;
    const Node* cur = &n;
    while (cur->type != LogicalType::Coordinator && d < 15) {
        Node* p = find(cur->parent);
        ++d;
        if (!p)
            break;
        cur = p;
    }
    return d;
}

std::vector<NeighborEntry> Network::neighborTable(Node& n, int64_t nowMs) {
    std::vector<std::pair<Node*, std::pair<uint8_t, uint8_t>>> rows;  // node, relation, lqi
    auto relationTo = [&](Node& other) -> uint8_t {
        if (n.type != LogicalType::Coordinator && other.nwk == n.parent)
            return 0;
        if (other.type != LogicalType::Coordinator &&
            (other.parent == n.nwk || other.alsoParent == n.nwk))
            return 1;
        return 2;
    };
    if (n.neighborsGiven) {
        for (const auto& l : n.neighbors) {
            Node* o = find(l.addr);
            if (o && o->present() && o != &n)
                rows.push_back({o, {relationTo(*o), l.lqi}});
        }
    } else {
        if (n.type != LogicalType::Coordinator) {
            Node* p = find(n.parent);
            if (p && p->present())
                rows.push_back({p, {0, n.lqi}});
        }
        for (Node* c : children(n.nwk))
            rows.push_back({c, {1, c->lqi}});
    }
    std::vector<NeighborEntry> t;
    t.reserve(rows.size());
    for (auto& r : rows) {
        Node& o = *r.first;
        NeighborEntry e;
        e.extPanId = extendedPanId();
        e.ieee = o.ieee;
        e.nwk = o.nwk;
        e.devTypeRxOnRelation = static_cast<uint8_t>(
            static_cast<uint8_t>(o.type) | (o.rxOnWhenIdle ? 0x04 : 0x00) | (r.second.first << 4));
        e.permitJoining = o.permitsJoining(nowMs) ? 1 : 0;
        e.depth = static_cast<uint8_t>(depth(o));
        e.lqi = r.second.second;
        t.push_back(e);
    }
    return t;
}

uint8_t Network::addBinding(Node& n, const Binding& b) {
    for (const auto& e : n.bindings)
        if (e == b)
            return 0x00;
    if (static_cast<int>(n.bindings.size()) >= config_.bindingCapacity)
        return 0x87;
    n.bindings.push_back(b);
    return 0x00;
}

uint8_t Network::removeBinding(Node& n, const Binding& b) {
    auto it = std::find(n.bindings.begin(), n.bindings.end(), b);
    if (it == n.bindings.end())
        return 0x88;
    n.bindings.erase(it);
    return 0x00;
}

std::vector<Node*> Network::removeNode(Node& n, bool withChildren) {
    std::vector<Node*> removed;
    std::function<void(Node&)> rec = [&](Node& x) {
        if (withChildren)
            for (Node* c : children(x.nwk, false))
                rec(*c);
        x.state = NodeState::Absent;
        x.permitJoinUntilMs = 0;
        removed.push_back(&x);
    };
    rec(n);
    return removed;
}

bool Network::readdress(Node& n, uint16_t nwk) {
    if (n.nwk == nwk)
        return true;
    if (n.isModule || nodes_.count(nwk) || (moduleIn_ && module_.nwk == nwk))
        return false;
    uint16_t old = n.nwk;
    auto h = nodes_.extract(old);  // the node keeps its place in memory
    h.key() = nwk;
    h.mapped().nwk = nwk;
    nodes_.insert(std::move(h));
    for (auto& kv : nodes_) {
        Node& o = kv.second;
        if (o.parent == old && o.type != LogicalType::Coordinator)
            o.parent = nwk;
        if (o.alsoParent == old)
            o.alsoParent = nwk;
        for (auto& l : o.neighbors)
            if (l.addr == old)
                l.addr = nwk;
    }
    if (module_.parent == old)
        module_.parent = nwk;
    return true;
}

}  // namespace zbsim
