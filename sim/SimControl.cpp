#include "SimControl.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace zbsim {

namespace {
const char* kHelp =
    "ok commands: status | list | show NODE | join NODE [force] | remove NODE | silence NODE | "
    "revive NODE | kill NODE | rejoin NODE [SHORT] | announce NODE | "
    "send NODE SRC_EP CLUSTER HEX|- [DST_EP [PROFILE]] [src=ieee] [dst=ADDR] [group=ID] | "
    "set NODE CELSIUS | report NODE | latency NODE MS | loss NODE PERCENT | "
    "refuse NODE lqi|bind [STATUS] | accept NODE | permit SECONDS | "
    "module reset | module netdown [MS] | module hang | module resume | "
    "fault corrupt N | fault corruptbyte N OFFSET | fault garbage HEX | fault drop N | "
    "fault duplicate N | fault delay MS | fault bytewise US | fault baud RATE | fault nofcs | "
    "fault failstart [STATUS] | fault stall on|off | fault clear | unplug [MS] | tick MS | trace "
    "on|off | "
    "flood N [BYTES [NODE...]] | stamps on FILE [OPCODE...] | stamps off";

// The gateway's registered end point in the sample configuration: where `send` goes by default.
constexpr uint8_t kGatewayEndpoint = 8;
constexpr uint16_t kTemperatureCluster = 0x0402;

std::string hex16(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04x", v);
    return b;
}
std::string hex64(uint64_t v) {
    char b[20];
    std::snprintf(b, sizeof b, "%016llx", static_cast<unsigned long long>(v));
    return b;
}
bool number(const std::string& s, unsigned long max, unsigned long& out) {
    return parseNumber(s, out) && out <= max;
}
}  // namespace

bool parseCommand(const std::string& line, Command& cmd, std::string& err) {
    cmd = Command{};
    if (line.size() > kMaxCommandLine) {
        err = "line too long";
        return false;
    }
    std::istringstream in(line);
    std::string w;
    while (in >> w) {
        if (cmd.verb.empty()) {
            for (char& c : w)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            cmd.verb = w;
        } else {
            cmd.args.push_back(w);
        }
    }
    if (cmd.verb.empty()) {
        err = "empty command";
        return false;
    }
    return true;
}

std::string Controller::execute(const std::string& line, int64_t nowMs) {
    Command c;
    std::string err;
    if (!parseCommand(line, c, err))
        return "error: " + err;
    return run(c, nowMs);
}

std::string Controller::describe(Node& n, int64_t nowMs) {
    std::ostringstream o;
    if (n.isModule && !module_.networkUp()) {  // not part of any network yet (or any more)
        o << "ok name=module short=ffff ieee=" << hex64(module_.ieee()) << " type=none state="
          << (!module_.booted() ? "rebooting"
              : module_.hung()  ? "hung"
                                : "down")
          << " endpoints=" << n.endpoints.size();
        return o.str();
    }
    o << "ok name=" << n.name << " short=" << hex16(n.nwk) << " ieee=" << hex64(n.ieee)
      << " type=" << toString(n.type) << " state=" << toString(n.state);
    if (n.type != LogicalType::Coordinator)
        o << " parent=" << hex16(n.parent);
    o << " rx_on=" << (n.rxOnWhenIdle ? 1 : 0) << " app=" << toString(n.app);
    if (n.app == AppKind::OnOffLight)
        o << " on=" << (n.onOff ? 1 : 0);
    if (n.app == AppKind::TemperatureSensor)
        o << " temperature=" << n.temperature;
    o << " endpoints=";
    for (size_t i = 0; i < n.endpoints.size(); ++i)
        o << (i ? "," : "") << int(n.endpoints[i].ep);
    o << " bindings=" << n.bindings.size() << " permit=" << (n.permitsJoining(nowMs) ? 1 : 0);
    if (!n.isModule)
        o << " reachable=" << (module_.reachable(n) ? 1 : 0) << " latency=" << n.latencyMs
          << " loss=" << n.lossPercent;
    else
        o << " hung=" << (module_.hung() ? 1 : 0);
    return o.str();
}

std::string Controller::run(const Command& c, int64_t nowMs) {
    const auto& a = c.args;
    std::string why;
    auto nodeArg = [&](size_t i) -> Node* { return i < a.size() ? net_.findRef(a[i]) : nullptr; };
    auto result = [&](bool ok) { return ok ? std::string("ok") : "error: " + why; };

    if (c.verb == "help")
        return kHelp;
    if (c.verb == "status") {
        std::ostringstream o;
        const Node& m = net_.module();
        o << "ok booted=" << (module_.booted() ? 1 : 0)
          << " network=" << (module_.networkUp() ? "up" : "down");
        if (module_.networkUp())
            o << " role=" << toString(m.type) << " short=" << hex16(m.nwk);
        o << " channel=" << int(module_.channel()) << " pan=" << hex16(module_.panId())
          << " ieee=" << hex64(module_.ieee()) << " nodes=" << net_.all().size()
          << " endpoints=" << m.endpoints.size() << " keys=" << module_.linkKeys().size()
          << " permit=" << (m.permitsJoining(nowMs) ? 1 : 0) << " in=" << module_.packetsIn()
          << " out=" << module_.packetsOut() << " ignored=" << module_.ignored()
          << " dropped=" << line_.framesDropped() << " hung=" << (module_.hung() ? 1 : 0)
          << " wire=" << (hooks_.lineBytes ? hooks_.lineBytes() : line_.bytesOut());
        return o.str();
    }
    if (c.verb == "list") {
        auto nodes = net_.all();
        std::ostringstream o;
        o << "ok " << nodes.size();
        for (Node* n : nodes)
            o << ' ' << n->name << ':' << hex16(n->nwk) << ':' << toString(n->type) << ':'
              << toString(n->state);
        return o.str();
    }
    if (c.verb == "permit") {
        unsigned long s;
        if (a.size() != 1 || !number(a[0], 255, s))
            return "error: usage: permit SECONDS (0-255)";
        if (!module_.networkUp())
            return "error: the network is not up";
        module_.permitJoining(static_cast<uint8_t>(s), nowMs);
        return "ok";
    }
    if (c.verb == "fault")
        return fault(c, nowMs);
    if (c.verb == "module")
        return moduleFault(c, nowMs);
    if (c.verb == "tick") {
        unsigned long ms;
        if (a.size() != 1 || !number(a[0], 3600000, ms))
            return "error: usage: tick MS";
        int64_t now = hooks_.tick ? hooks_.tick(static_cast<int>(ms)) : -1;
        if (now < 0)
            return "error: the clock is not manual (--manual-clock)";
        return "ok now=" + std::to_string(now);
    }
    if (c.verb == "unplug") {
        unsigned long ms = 0;
        if (a.size() > 1 || (a.size() == 1 && !number(a[0], 600000, ms)))
            return "error: usage: unplug [MS]";
        if (!hooks_.unplug)
            return "error: not available";
        hooks_.unplug(a.empty() ? -1 : static_cast<int>(ms));
        return "ok";
    }
    if (c.verb == "flood")
        return flood(c, nowMs);
    if (c.verb == "stamps")
        return stamps(c);
    if (c.verb == "trace") {
        if (a.size() != 1 || (a[0] != "on" && a[0] != "off"))
            return "error: usage: trace on|off";
        if (hooks_.trace)
            hooks_.trace(a[0] == "on");
        return "ok";
    }

    static const char* kNodeVerbs[] = {"show",   "join",     "remove", "silence", "revive",
                                       "kill",   "announce", "send",   "set",     "report",
                                       "rejoin", "latency",  "loss",   "refuse",  "accept"};
    bool known = false;
    for (const char* v : kNodeVerbs)
        known = known || c.verb == v;
    if (!known)
        return "error: unknown command '" + c.verb + "' (try help)";
    if (a.empty())
        return "error: " + c.verb + " needs a node";
    Node* n = nodeArg(0);
    if (!n)
        return "error: no node '" + a[0] + "'";

    if (c.verb == "show")
        return describe(*n, nowMs);
    if (c.verb == "join") {
        if (a.size() > 2 || (a.size() == 2 && a[1] != "force"))
            return "error: usage: join NODE [force]";
        return result(module_.joinNode(*n, a.size() == 2, nowMs, why));
    }
    if (c.verb == "remove")
        return result(module_.removeNode(*n, nowMs, why));
    if (c.verb == "silence")
        return result(module_.silenceNode(*n, why));
    if (c.verb == "revive")
        return result(module_.reviveNode(*n, why));
    if (c.verb == "kill")
        return result(module_.killNode(*n, why));
    if (c.verb == "announce")
        return result(module_.announceNode(*n, nowMs, why));
    if (c.verb == "report")
        return result(module_.reportNow(*n, nowMs, why));
    if (c.verb == "rejoin") {
        unsigned long addr = kNoAddress;
        if (a.size() > 2 || (a.size() == 2 && (!parseNumber(a[1], addr) || addr > 0xFFF7)))
            return "error: usage: rejoin NODE [SHORT]";
        return result(module_.rejoinNode(*n, static_cast<uint16_t>(addr), nowMs, why));
    }
    if (c.verb == "latency" || c.verb == "loss") {
        bool latency = c.verb == "latency";
        unsigned long v;
        if (a.size() != 2 || !number(a[1], latency ? 60000 : 100, v))
            return latency ? "error: usage: latency NODE MS (0-60000)"
                           : "error: usage: loss NODE PERCENT (0-100)";
        if (n->isModule)
            return "error: the module's own answers cannot be slowed or lost";
        (latency ? n->latencyMs : n->lossPercent) = static_cast<int>(v);
        return "ok";
    }
    if (c.verb == "refuse") {
        unsigned long st = 0x84;
        if (a.size() < 2 || a.size() > 3 || (a[1] != "lqi" && a[1] != "bind") ||
            (a.size() == 3 && (!number(a[2], 255, st) || st == 0)))
            return "error: usage: refuse NODE lqi|bind [STATUS]";
        (a[1] == "lqi" ? n->refuseLqi : n->refuseBind) = static_cast<uint8_t>(st);
        return "ok";
    }
    if (c.verb == "accept") {
        if (a.size() != 1)
            return "error: usage: accept NODE";
        n->refuseLqi = n->refuseBind = 0;
        return "ok";
    }
    if (c.verb == "set") {
        char* end = nullptr;
        double v = a.size() == 2 ? std::strtod(a[1].c_str(), &end) : 0;
        if (a.size() != 2 || !end || *end)
            return "error: usage: set NODE CELSIUS";
        return result(module_.setSensorValue(*n, v, why));
    }
    return send(c, *n, nowMs);
}

// send NODE SRC_EP CLUSTER HEX|- [DST_EP [PROFILE]] [src=ieee] [dst=ADDR] [group=ID]
std::string Controller::send(const Command& c, Node& n, int64_t nowMs) {
    std::vector<std::string> a;
    Module::Addressing how;
    bool ok = true;
    for (const std::string& w : c.args) {
        unsigned long v;
        if (w.find('=') == std::string::npos) {
            a.push_back(w);
        } else if (w == "src=ieee") {
            how.srcMode = 0x03;
        } else if (w.rfind("dst=", 0) == 0 && number(w.substr(4), 0xFFFF, v)) {
            how.toModule = false;
            how.dstAddr = static_cast<uint16_t>(v);
        } else if (w.rfind("group=", 0) == 0 && number(w.substr(6), 0xFFFF, v)) {
            how.dstMode = 0x01;
            how.toModule = false;
            how.dstAddr = static_cast<uint16_t>(v);
        } else {
            ok = false;
        }
    }
    unsigned long ep, cluster, dstEp = kGatewayEndpoint, profile = 0xFFFF;
    std::vector<uint8_t> payload;
    if (!ok || a.size() < 4 || a.size() > 6 || !number(a[1], 240, ep) ||
        !number(a[2], 0xFFFF, cluster) || (a[3] != "-" && !parseHexBytes(a[3], payload)) ||
        (a.size() >= 5 && !number(a[4], 255, dstEp)) ||
        (a.size() == 6 && !number(a[5], 0xFFFF, profile)))
        return "error: usage: send NODE SRC_EP CLUSTER HEX|- [DST_EP [PROFILE]] [src=ieee] "
               "[dst=ADDR] [group=ID]";
    std::string why;
    if (!module_.sendFromNode(n, static_cast<uint8_t>(ep), static_cast<uint16_t>(cluster), payload,
                              static_cast<uint8_t>(dstEp), static_cast<uint16_t>(profile), how,
                              nowMs, why))
        return "error: " + why;
    return "ok";
}

// flood N [BYTES [NODE...]]: N attribute reports back to back, the nodes taking turns.
std::string Controller::flood(const Command& c, int64_t nowMs) {
    const auto& a = c.args;
    unsigned long count, bytes = 20;
    if (a.empty() || !number(a[0], 200000, count) || count == 0 ||
        (a.size() >= 2 && (!number(a[1], 80, bytes) || bytes < 11)))
        return "error: usage: flood N (1-200000) [BYTES (11-80) [NODE...]]";
    std::vector<Node*> from;
    std::string why;
    for (size_t i = 2; i < a.size(); ++i) {
        Node* n = net_.findRef(a[i]);
        if (!n)
            return "error: no node '" + a[i] + "'";
        if (n->isModule || n->endpoints.empty())
            return "error: node '" + a[i] + "' has no end point";
        from.push_back(n);
    }
    if (from.empty()) {
        for (Node* n : net_.all())
            if (!n->isModule && !n->endpoints.empty() && n->state == NodeState::Up &&
                module_.reachable(*n))
                from.push_back(n);
        if (from.empty())
            return "error: no node can reach the module";
    }
    // A report of an octet string (attribute 0x0000, type 0x41) that starts with the report's
    // number, big-endian, so that a receiver can tell every report apart.
    std::vector<uint8_t> asdu(bytes, 0);
    asdu[0] = 0x18;
    asdu[2] = 0x0A;
    asdu[5] = 0x41;
    asdu[6] = static_cast<uint8_t>(bytes - 7);
    uint32_t first = floodSeq_;
    for (unsigned long i = 0; i < count; ++i) {
        Node& n = *from[i % from.size()];
        uint32_t seq = floodSeq_++;
        asdu[1] = static_cast<uint8_t>(seq);
        for (int k = 0; k < 4; ++k)
            asdu[7 + k] = static_cast<uint8_t>(seq >> (24 - 8 * k));
        if (!module_.sendFromNode(n, n.endpoints[0].ep, kTemperatureCluster, asdu, kGatewayEndpoint,
                                  0xFFFF, Module::Addressing{}, nowMs, why))
            return "error: " + why + " (after " + std::to_string(i) + " reports)";
    }
    return "ok first=" + std::to_string(first) + " count=" + std::to_string(count) +
           " nodes=" + std::to_string(from.size());
}

// stamps on FILE [OPCODE...] | stamps off
std::string Controller::stamps(const Command& c) {
    const auto& a = c.args;
    if (a.size() == 1 && a[0] == "off") {
        if (hooks_.stampsOff)
            hooks_.stampsOff();
        return "ok";
    }
    std::vector<uint16_t> opcodes;
    bool ok = a.size() >= 2 && a[0] == "on";
    for (size_t i = 2; ok && i < a.size(); ++i) {
        std::vector<uint8_t> op;
        ok = parseHexBytes(a[i], op) && op.size() == 2;
        if (ok)
            opcodes.push_back(static_cast<uint16_t>(op[0] << 8 | op[1]));
    }
    if (!ok)
        return "error: usage: stamps on FILE [OPCODE...] | stamps off";
    if (!hooks_.stampsOn)
        return "error: not available";
    std::string why;
    if (!hooks_.stampsOn(a[1], opcodes, why))
        return "error: " + why;
    return "ok";
}

std::string Controller::moduleFault(const Command& c, int64_t nowMs) {
    const auto& a = c.args;
    std::string kind = a.empty() ? "" : a[0];
    std::string why;
    if (kind == "reset" && a.size() == 1) {
        module_.watchdogReset(nowMs);
        return "ok";
    }
    if (kind == "netdown" && a.size() <= 2) {
        unsigned long ms = 0;
        if (a.size() == 2 && !number(a[1], 3600000, ms))
            return "error: usage: module netdown [MS]";
        if (!module_.loseNetwork(a.size() == 2 ? static_cast<int>(ms) : -1, nowMs, why))
            return "error: " + why;
        return "ok";
    }
    if (kind == "hang" && a.size() == 1) {
        module_.hang();
        return "ok";
    }
    if (kind == "resume" && a.size() == 1) {
        module_.resume();
        return "ok";
    }
    return "error: usage: module reset|netdown [MS]|hang|resume";
}

std::string Controller::fault(const Command& c, int64_t nowMs) {
    const auto& a = c.args;
    if (a.empty())
        return "error: usage: fault corrupt|corruptbyte|garbage|drop|duplicate|delay|bytewise|"
               "baud|nofcs|failstart|stall|clear";
    const std::string& kind = a[0];
    unsigned long n = 0;
    if (kind == "corrupt" || kind == "drop" || kind == "duplicate") {
        if (a.size() != 2 || !number(a[1], 100000, n) || n == 0)
            return "error: usage: fault " + kind + " N";
        if (kind == "corrupt")
            line_.corruptNext(static_cast<int>(n));
        else if (kind == "drop")
            line_.dropNext(static_cast<int>(n));
        else
            line_.duplicateNext(static_cast<int>(n));
        return "ok";
    }
    if (kind == "corruptbyte") {
        unsigned long off;
        if (a.size() != 3 || !number(a[1], 100000, n) || n == 0 || !number(a[2], 255, off))
            return "error: usage: fault corruptbyte N OFFSET";
        line_.corruptByteNext(static_cast<int>(n), static_cast<int>(off));
        return "ok";
    }
    if (kind == "bytewise" || kind == "baud") {
        bool gap = kind == "bytewise";
        if (a.size() != 2 || !number(a[1], gap ? 1000000 : 4000000, n) || (!gap && n && n < 50))
            return gap ? "error: usage: fault bytewise US (0-1000000)"
                       : "error: usage: fault baud RATE (50-4000000, 0 ends it)";
        if (gap)
            line_.setByteGapUs(static_cast<int>(n));
        else
            line_.setBaud(static_cast<int>(n));
        return "ok";
    }
    if (kind == "garbage") {
        std::vector<uint8_t> bytes;
        std::string text;
        for (size_t i = 1; i < a.size(); ++i)
            text += a[i] + " ";
        if (a.size() < 2 || !parseHexBytes(text, bytes) || bytes.empty() || bytes.size() > 4096)
            return "error: usage: fault garbage HEX";
        line_.garbage(bytes, nowMs * 1000);
        return "ok";
    }
    if (kind == "delay") {
        if (a.size() != 2 || !number(a[1], 60000, n))
            return "error: usage: fault delay MS";
        line_.setDelayMs(static_cast<int>(n));
        return "ok";
    }
    if (kind == "nofcs") {
        if (a.size() != 1)
            return "error: usage: fault nofcs";
        line_.omitNextChecksum();
        return "ok";
    }
    if (kind == "failstart") {
        n = 0xC4;
        if (a.size() > 2 || (a.size() == 2 && (!number(a[1], 255, n) || n == 0)))
            return "error: usage: fault failstart [STATUS]";
        module_.failNextStart(static_cast<uint8_t>(n));
        return "ok";
    }
    if (kind == "stall") {
        if (a.size() != 2 || (a[1] != "on" && a[1] != "off"))
            return "error: usage: fault stall on|off";
        if (!hooks_.stall || !hooks_.stall(a[1] == "on"))
            return "error: the line cannot be stalled now";
        return "ok";
    }
    if (kind == "clear") {
        line_.clearFaults();
        module_.failNextStart(0);
        if (hooks_.stall)
            hooks_.stall(false);
        return "ok";
    }
    return "error: unknown fault '" + kind + "'";
}

}  // namespace zbsim
