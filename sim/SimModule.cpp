#include "SimModule.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <set>

#include "SimModuleWire.h"

namespace zbsim {

using namespace wire;

#define ZB(g, i) static_cast<uint16_t>((g) << 8 | (i))
const Module::Dispatch Module::kDispatch[] = {
    {ZB(0x50, 0x01), &Module::onWriteSas},
    {ZB(0x96, 0x36), &Module::onNlmePermitJoining},
    {ZB(0x99, 0x00), &Module::onApsmeBind},
    {ZB(0x99, 0x09), &Module::onApsmeUnbind},
    {ZB(0x9C, 0x00), &Module::onDataRequest},
    {ZB(0xA2, 0x00), &Module::onNwkAddrReq},
    {ZB(0xA2, 0x01), &Module::onIeeeAddrReq},
    {ZB(0xA2, 0x02), &Module::onNodeDescReq},
    {ZB(0xA2, 0x03), &Module::onPowerDescReq},
    {ZB(0xA2, 0x04), &Module::onSimpleDescReq},
    {ZB(0xA2, 0x05), &Module::onActiveEpReq},
    {ZB(0xA2, 0x06), &Module::onMatchDescReq},
    {ZB(0xA2, 0x20), &Module::onEndDeviceBindReq},
    {ZB(0xA2, 0x21), &Module::onBindReq},
    {ZB(0xA2, 0x22), &Module::onUnbindReq},
    {ZB(0xA2, 0x31), &Module::onMgmtLqiReq},
    {ZB(0xA2, 0x33), &Module::onMgmtBindReq},
    {ZB(0xA2, 0x36), &Module::onMgmtPermitJoinReq},
    {ZB(0xA2, 0x38), &Module::onMgmtNwkUpdateReq},
    {ZB(0xA3, 0x00), &Module::onModeSelect},
    {ZB(0xA3, 0x08), &Module::onReset},
    {ZB(0xA3, 0x0B), &Module::onRegisterEndpoint},
    {ZB(0xA3, 0x12), &Module::onGetChannel},
    {ZB(0xA3, 0x20), &Module::onApsmeGet},
    {ZB(0xA3, 0x21), &Module::onApsmeSet},
    {ZB(0xA3, 0x22), &Module::onNlmeGet},
    {ZB(0xA3, 0x3E), &Module::onSetKeyPair},
    {ZB(0xA3, 0x3F), &Module::onClearKeyPair},
    {ZB(0xA3, 0xD2), &Module::onReadExtAddr},
    {ZB(0xA3, 0xDB), &Module::onWriteExtAddr},
    {ZB(0xA3, 0xE7), &Module::onStartNetwork},
};
const size_t Module::kDispatchSize = sizeof(kDispatch) / sizeof(kDispatch[0]);

namespace {
template <size_t N>
constexpr bool dispatchSorted(const uint16_t (&codes)[N]) {
    for (size_t i = 1; i < N; ++i)
        if (codes[i - 1] >= codes[i])
            return false;
    return true;
}
// The same codes as kDispatch, checked for order at compile time (the lookup is a binary search).
constexpr uint16_t kDispatchCodes[] = {
    ZB(0x50, 0x01), ZB(0x96, 0x36), ZB(0x99, 0x00), ZB(0x99, 0x09), ZB(0x9C, 0x00), ZB(0xA2, 0x00),
    ZB(0xA2, 0x01), ZB(0xA2, 0x02), ZB(0xA2, 0x03), ZB(0xA2, 0x04), ZB(0xA2, 0x05), ZB(0xA2, 0x06),
    ZB(0xA2, 0x20), ZB(0xA2, 0x21), ZB(0xA2, 0x22), ZB(0xA2, 0x31), ZB(0xA2, 0x33), ZB(0xA2, 0x36),
    ZB(0xA2, 0x38), ZB(0xA3, 0x00), ZB(0xA3, 0x08), ZB(0xA3, 0x0B), ZB(0xA3, 0x12), ZB(0xA3, 0x20),
    ZB(0xA3, 0x21), ZB(0xA3, 0x22), ZB(0xA3, 0x3E), ZB(0xA3, 0x3F), ZB(0xA3, 0xD2), ZB(0xA3, 0xDB),
    ZB(0xA3, 0xE7)};
static_assert(dispatchSorted(kDispatchCodes), "dispatch table must be sorted");
}  // namespace
#undef ZB

Module::Module(Network& net, Sink sink) : net_(net), sink_(std::move(sink)) {
    factoryIeee_ = ieee_ = net_.config().ieee;
    channel_ = net_.config().channel;
    panId_ = net_.config().panId;
    rebootMs_ = net_.config().rebootMs;
}

void Module::send(Packet p) {
    if (answerDelayMs_ > 0) {
        after(answerDelayMs_, [this, p = std::move(p)] { emit(p); });
        return;
    }
    emit(p);
}

void Module::emit(const Packet& p) {
    if (hung_) {  // a locked-up module sends nothing
        log("hung, not sent: " + std::string(packetName(p.group, p.id)));
        return;
    }
    ++packetsOut_;
    sink_(p);
}

uint64_t Module::draw(uint64_t a, uint64_t b) const {
    return mix(mix(seed_ ^ a) ^ b);
}

bool Module::route(const Node& n, std::vector<const Node*>& relays) {
    // Frames follow the tree: up from one end to the first ancestor both ends share, then down.
    auto chain = [&](const Node* x, std::vector<const Node*>& c) {
        for (int i = 0; x && i < 32; ++i) {
            c.push_back(x);
            if (x->type == LogicalType::Coordinator)
                return true;
            const Node* p = net_.find(x->parent);
            if (!p || !p->present())
                return false;
            x = p;
        }
        return false;
    };
    std::vector<const Node*> a, b;
    if (!chain(&n, a) || !chain(&net_.module(), b))
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto j = std::find(b.begin(), b.end(), a[i]);
        if (j == b.end())
            continue;
        relays.assign(a.begin() + 1, a.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        if (j != b.begin())
            relays.insert(relays.end(), b.begin() + 1, j);
        relays.erase(std::remove_if(relays.begin(), relays.end(),
                                    [&](const Node* r) { return r->isModule || r == &n; }),
                     relays.end());
        return true;
    }
    return false;
}

bool Module::reachable(const Node& n) {
    if (!net_.moduleInNetwork() || !n.present())
        return false;
    if (n.isModule)
        return true;
    std::vector<const Node*> relays;
    if (!route(n, relays))
        return false;
    return std::all_of(relays.begin(), relays.end(), [](const Node* r) { return r->answers(); });
}

bool Module::lost(Node& n) {
    if (n.lossPercent <= 0)
        return false;
    return draw(n.ieee, n.frames++) % 100 < static_cast<uint64_t>(n.lossPercent);
}

int Module::answerDelay(const Node& n) {
    if (n.isModule)
        return 0;
    int ms = n.latencyMs;
    if (!realistic_)
        return ms;
    std::vector<const Node*> relays;
    route(n, relays);
    int hops = static_cast<int>(relays.size()) + 1;
    // There and back: 2 to 4 ms a hop, the jitter drawn from the seed.
    for (int i = 0; i < 2 * hops; ++i)
        ms += 2 + static_cast<int>(draw(0x6A177E5ULL, draws_++) % 3);
    if (!n.rxOnWhenIdle) {  // the request waits at the parent for the device's next poll
        int64_t period = net_.config().pollMs;
        int64_t phase = static_cast<int64_t>(draw(n.ieee, 0x9011) % static_cast<uint64_t>(period));
        ms += static_cast<int>(period - (now_ + phase) % period);
    }
    return ms;
}

Node* Module::reach(uint16_t dst) {
    Node* d = net_.find(dst);
    if (!d || !d->answers() || !reachable(*d) || (!d->isModule && lost(*d)))
        return nullptr;
    answerDelayMs_ = answerDelay(*d);
    return d;
}

// The leave of n reaches the module when the module is its parent (an end device tells only its
// parent), when n is the module's parent, or when n is a router that is the module's radio
// neighbour (a leaving router tells its neighbours with a one-hop broadcast).
bool Module::hearsLeave(const Node& n) {
    const Node& m = net_.module();
    if (!net_.moduleInNetwork())
        return false;
    if (n.parent == m.nwk || n.alsoParent == m.nwk || m.parent == n.nwk)
        return true;
    if (n.type == LogicalType::EndDevice)
        return false;
    return std::any_of(n.neighbors.begin(), n.neighbors.end(),
                       [&](const NeighborLink& l) { return l.addr == m.nwk; });
}

void Module::after(int ms, std::function<void()> fn) {
    uint64_t gen = generation_;
    timers_.emplace(std::make_pair(now_ + ms, seq_++), [this, gen, fn = std::move(fn)] {
        if (gen == generation_)
            fn();
    });
}

int64_t Module::nextDueMs() const {
    return timers_.empty() ? INT64_MAX : timers_.begin()->first.first;
}

void Module::runDue(int64_t nowMs) {
    while (!timers_.empty() && timers_.begin()->first.first <= nowMs) {
        // What an action schedules counts from when it was due, so chains keep their cadence.
        now_ = std::max(now_, timers_.begin()->first.first);
        auto fn = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        fn();
    }
    now_ = std::max(now_, nowMs);
}

void Module::receive(const Packet& p, int64_t nowMs) {
    runDue(nowMs);
    ++packetsIn_;
    uint16_t code = static_cast<uint16_t>(p.group << 8 | p.id);
    if (!booted_ || hung_) {  // a rebooting or locked-up module hears nothing
        ++ignored_;
        log("ignored while rebooting: " + std::string(packetName(p.group, p.id)));
        return;
    }
    const Dispatch* end = kDispatch + kDispatchSize;
    const Dispatch* d = std::lower_bound(kDispatch, end, code,
                                         [](const Dispatch& e, uint16_t c) { return e.code < c; });
    if (d == end || d->code != code) {
        ++ignored_;
        log("unhandled packet " + hexBytes(p.bytes()));
        return;
    }
    answerDelayMs_ = 0;
    (this->*(d->fn))(p);
    answerDelayMs_ = 0;
}

// What a reset and a power loss both forget: the network and what it had scheduled, the
// registered end points, an open join window and a written IEEE address.
void Module::forgetRunningState() {
    ++generation_;
    timers_.clear();
    net_.detachModule();
    net_.setRunningExtPanId(0);
    net_.module().endpoints.clear();
    net_.module().permitJoinUntilMs = 0;
    ieee_ = factoryIeee_;
}

void Module::powerCycle(int64_t nowMs) {
    now_ = nowMs;
    forgetRunningState();
    booted_ = true;
    hung_ = false;
}

// ---- co-processor commands -------------------------------------------------------------------

void Module::onReset(const Packet&) {
    watchdogReset(now_);
}

void Module::watchdogReset(int64_t nowMs) {
    now_ = nowMs;
    forgetRunningState();
    hung_ = false;
    booted_ = false;
    log("rebooting");
    after(rebootMs_, [this] {
        booted_ = true;
        // What the firmware says once it is up again: its network state, "initialized".
        send(Packet(0xA0, 0xE6, {0x00}));
    });
}

bool Module::loseNetwork(int backAfterMs, int64_t nowMs, std::string& why) {
    now_ = nowMs;
    if (!net_.moduleInNetwork())
        return why = "the network is not up", false;
    net_.detachModule();
    send(Packet(0xA0, 0xE6, {0x13}));  // off the network
    if (backAfterMs >= 0) {
        after(backAfterMs, [this] {
            Node& m = net_.module();
            net_.attachModule(m.type, m.ieee, m.nwk, m.parent);
            uint8_t state = m.type == LogicalType::Coordinator ? 0x10
                            : m.type == LogicalType::Router    ? 0x04
                                                               : 0x05;
            send(Packet(0xA0, 0xE6, {state}));
        });
    }
    return true;
}

void Module::onModeSelect(const Packet&) {
    send(Packet(0xA4, 0x00, {kSuccess}));
}

void Module::onWriteExtAddr(const Packet& p) {
    if (p.payload.size() != 8) {
        send(Packet(0xA4, 0xDB, {kNwkInvalidParameter}));
        return;
    }
    ieee_ = get64(p.payload, 0);
    net_.module().ieee = ieee_;
    send(Packet(0xA4, 0xDB, {kSuccess}));
}

void Module::onReadExtAddr(const Packet&) {
    std::vector<uint8_t> v{kSuccess};
    put64(v, ieee_);
    send(Packet(0xA4, 0xD2, v));
}

void Module::onGetChannel(const Packet&) {
    send(Packet(0xA4, 0x12, {kSuccess, channel_}));
}

void Module::onApsmeSet(const Packet& p) {
    if (p.payload.size() < 4) {
        send(Packet(0xA4, 0x21, {kApsInvalidParameter}));
        return;
    }
    attrs_[p.payload[0]] = std::vector<uint8_t>(p.payload.begin() + 4, p.payload.end());
    send(Packet(0xA4, 0x21, {kSuccess}));
}

void Module::onApsmeGet(const Packet& p) {
    if (p.payload.empty()) {
        send(Packet(0xA4, 0x20, {kApsInvalidParameter}));
        return;
    }
    uint8_t attr = p.payload[0];
    auto it = attrs_.find(attr);
    if (it == attrs_.end()) {
        send(Packet(0xA4, 0x20, {kApsUnsupportedAttribute, attr, 0}));
        return;
    }
    std::vector<uint8_t> v{kSuccess, attr, static_cast<uint8_t>(it->second.size())};
    v.insert(v.end(), it->second.begin(), it->second.end());
    send(Packet(0xA4, 0x20, v));
}

void Module::onRegisterEndpoint(const Packet& p) {
    // ep, profile, device, version, in count, in clusters, out count, out clusters, then a flag.
    const auto& v = p.payload;
    SimpleDesc d;
    size_t off = 6;
    if (!readClusterLists(v, off, d.in, d.out) || v[0] < 1 || v[0] > 240) {
        send(Packet(0xA4, 0x0B, {kApsInvalidParameter}));
        return;
    }
    d.ep = v[0];
    d.profile = get16(v, 1);
    d.device = get16(v, 3);
    d.version = v[5] & 0x0F;
    auto& eps = net_.module().endpoints;
    eps.erase(
        std::remove_if(eps.begin(), eps.end(), [&](const SimpleDesc& e) { return e.ep == d.ep; }),
        eps.end());
    eps.push_back(d);
    std::sort(eps.begin(), eps.end(),
              [](const SimpleDesc& a, const SimpleDesc& b) { return a.ep < b.ep; });
    send(Packet(0xA4, 0x0B, {kSuccess}));
}

void Module::onWriteSas(const Packet& p) {
    const auto& v = p.payload;
    if (v.size() != 101) {
        send(Packet(0x50, 0x04, {kNwkInvalidParameter}));
        return;
    }
    StartupAttributes s;
    s.shortAddress = get16(v, 0);
    s.extPanId = get64(v, 2);
    s.apsUseExtPanId = get64(v, 10);
    s.panId = get16(v, 18);
    s.channelMask = get32(v, 20);
    s.protocolVersion = v[24];
    s.stackProfile = v[25];
    s.startupControl = v[26];
    s.trustCenterAddress = get64(v, 27);
    std::copy(v.begin() + 35, v.begin() + 51, s.masterKey.begin());
    std::copy(v.begin() + 51, v.begin() + 67, s.networkKey.begin());
    s.useInsecureJoin = v[67];
    std::copy(v.begin() + 68, v.begin() + 84, s.preconfiguredLinkKey.begin());
    s.activeKeySeq = v[84];
    s.networkKeyType = v[85];
    s.networkManager = get16(v, 86);
    s.written = true;
    sas_ = s;
    send(Packet(0x50, 0x04, {kSuccess}));
}

void Module::onSetKeyPair(const Packet& p) {
    if (p.payload.size() != 25) {
        send(Packet(0xA4, 0x3E, {kNwkInvalidParameter}));
        return;
    }
    std::array<uint8_t, 16> key;
    std::copy(p.payload.begin() + 9, p.payload.end(), key.begin());
    linkKeys_[get64(p.payload, 0)] = key;
    send(Packet(0xA4, 0x3E, {kSuccess}));
}

void Module::onClearKeyPair(const Packet& p) {
    if (p.payload.size() != 8) {
        send(Packet(0xA4, 0x3F, {kNwkInvalidParameter}));
        return;
    }
    linkKeys_.erase(get64(p.payload, 0));
    send(Packet(0xA4, 0x3F, {kSuccess}));
}

void Module::onNlmeGet(const Packet& p) {
    if (p.payload.size() != 4) {
        send(Packet(0xA4, 0x22, {kNwkInvalidParameter}));
        return;
    }
    // status, the request's four bytes, value length, value
    std::vector<uint8_t> value;
    uint8_t status = kSuccess;
    switch (p.payload[0]) {
        case 0x96:
            put16(value, net_.moduleInNetwork() ? net_.module().nwk : 0xFFFF);
            break;
        case 0x80:
            put16(value, panId_);
            break;
        case 0x9A:
            put64(value, net_.extendedPanId());
            break;
        case 0xA1:  // security material: key sequence, outgoing frame counter, key, key type
            value.push_back(sas_.activeKeySeq);
            put16(value, 0);
            put16(value, 0);
            value.insert(value.end(), sas_.networkKey.begin(), sas_.networkKey.end());
            value.push_back(sas_.networkKeyType);
            break;
        default:
            status = kNwkUnsupportedAttribute;
    }
    std::vector<uint8_t> v{status};
    v.insert(v.end(), p.payload.begin(), p.payload.end());
    put16(v, static_cast<uint16_t>(value.size()));
    v.insert(v.end(), value.begin(), value.end());
    send(Packet(0xA4, 0x22, v));
}

void Module::permitOn(Node& n, uint8_t seconds) {
    if (seconds == 0)
        n.permitJoinUntilMs = 0;
    else if (seconds == 0xFF)
        n.permitJoinUntilMs = -1;
    else
        n.permitJoinUntilMs = now_ + 1000LL * seconds;
}

void Module::permitJoining(uint8_t seconds, int64_t nowMs) {
    now_ = nowMs;
    permitOn(net_.module(), seconds);
}

void Module::onNlmePermitJoining(const Packet& p) {
    if (p.payload.size() != 1 || !net_.moduleInNetwork()) {
        send(Packet(0x97, 0x43, {kNwkInvalidRequest}));
        return;
    }
    permitOn(net_.module(), p.payload[0]);
    send(Packet(0x97, 0x43, {kSuccess}));
}

void Module::onStartNetwork(const Packet& p) {
    uint8_t dev = p.payload.empty() ? 0 : p.payload[0];
    send(Packet(0xA4, 0xE7, {kSuccess}));
    startNetwork(dev);
}

void Module::startNetwork(uint8_t deviceByte) {
    ++generation_;  // a restart drops what the old network had scheduled
    timers_.clear();
    net_.detachModule();
    bool coordinator = deviceByte != 0x80 && deviceByte != 0x20;
    uint8_t fail = failStartStatus_;
    failStartStatus_ = 0;
    // The channel: the network file's own when the mask allows it, else the lowest allowed one.
    uint32_t mask = sas_.channelMask & 0x07FFF800u;
    uint8_t ch = net_.config().channel;
    if (sas_.channelMask && !(mask & (1u << ch)))
        ch = lowestChannel(mask);
    if (coordinator) {
        send(Packet(0xA0, 0xE6, {0x03}));
        if (!fail && ch == 0)
            fail = kNwkNoNetworks;
        if (fail) {
            send(Packet(0x97, 0x42, {fail}));
            return;
        }
        channel_ = ch;
        panId_ = sas_.written && sas_.panId != 0xFFFF ? sas_.panId : net_.config().panId;
        net_.attachModule(LogicalType::Coordinator, ieee_, 0x0000, 0);
        net_.setRunningExtPanId(sas_.written ? sas_.extPanId : 0);
        send(Packet(0xA0, 0xE6, {0x10}));
    } else {
        send(Packet(0xA0, 0xE6, {0x01}));
        Node* parent = net_.find(net_.config().joinParent);
        if (!fail && (ch != net_.config().channel || !parent || !parent->answers() ||
                      parent->type == LogicalType::EndDevice))
            fail = kNwkNoNetworks;
        uint16_t addr = sas_.shortAddress >= 0x0001 && sas_.shortAddress <= 0xFFF7
                            ? sas_.shortAddress
                            : net_.config().joinAddress;
        if (!fail && net_.find(addr))
            fail = kNwkInvalidRequest;  // address already taken
        if (fail) {
            // short address, PAN id, channel, status
            std::vector<uint8_t> v;
            put16(v, 0xFFFF);
            put16(v, net_.config().panId);
            v.push_back(ch);
            v.push_back(fail);
            send(Packet(0x97, 0x46, v));
            return;
        }
        channel_ = ch;
        panId_ = net_.config().panId;
        LogicalType t = deviceByte == 0x80 ? LogicalType::Router : LogicalType::EndDevice;
        net_.attachModule(t, ieee_, addr, net_.config().joinParent);
        net_.setRunningExtPanId(sas_.written ? sas_.extPanId : 0);
        send(Packet(0xA0, 0xE6, {static_cast<uint8_t>(t == LogicalType::Router ? 0x04 : 0x05)}));
    }
    for (Node* n : net_.all())
        scheduleReports(*n);
}

void Module::apsmeBindReq(const Packet& p, bool bind) {
    // The module's own binding table. The confirm echoes the request after the status, with the
    // cluster high byte first.
    uint8_t confirmId = bind ? 0x07 : 0x09;
    if (p.payload.size() != 21) {
        send(Packet(0x98, confirmId, {kApsInvalidParameter}));
        return;
    }
    Binding b;
    b.srcIeee = get64(p.payload, 0);
    b.srcEp = p.payload[8];
    b.cluster = get16(p.payload, 9);
    b.dstIeee = get64(p.payload, 12);
    b.dstEp = p.payload[20];
    uint8_t st = bind ? net_.addBinding(net_.module(), b) : net_.removeBinding(net_.module(), b);
    std::vector<uint8_t> v{st};
    v.insert(v.end(), p.payload.begin(), p.payload.begin() + 9);
    v.push_back(static_cast<uint8_t>(b.cluster >> 8));
    v.push_back(static_cast<uint8_t>(b.cluster & 0xFF));
    v.insert(v.end(), p.payload.begin() + 11, p.payload.end());
    send(Packet(0x98, confirmId, v));
}

void Module::onApsmeBind(const Packet& p) {
    apsmeBindReq(p, true);
}
void Module::onApsmeUnbind(const Packet& p) {
    apsmeBindReq(p, false);
}

// ---- control
// ---------------------------------------------------------------------------------------

bool Module::joinNode(Node& n, bool force, int64_t nowMs, std::string& why) {
    now_ = nowMs;
    if (n.isModule)
        return why = "the module joins by its own start", false;
    if (!net_.moduleInNetwork())
        return why = "the network is not up", false;
    if (n.state == NodeState::Dead)
        return why = "node is dead", false;
    if (n.present())
        return why = "node is already in the network", false;
    Node* parent = net_.find(n.parent);
    if (!parent || !parent->permitsJoining(nowMs)) {
        parent = nullptr;
        for (Node* c : net_.all())
            if (c->permitsJoining(nowMs) && c != &n) {
                parent = c;
                break;
            }
    }
    if (!parent && force) {
        parent = net_.find(n.parent);
        if (!parent || !parent->present())
            parent = net_.find(0x0000);
    }
    if (!parent)
        return why = "joining is not permitted", false;
    n.parent = parent->nwk;
    n.state = NodeState::Up;
    if (reachable(n))
        deviceAnnounce(n);
    scheduleReports(n);
    return true;
}

bool Module::rejoinNode(Node& n, uint16_t addr, int64_t nowMs, std::string& why) {
    now_ = nowMs;
    if (n.isModule)
        return why = "the module joins by its own start", false;
    if (!net_.moduleInNetwork())
        return why = "the network is not up", false;
    if (n.state == NodeState::Dead || n.state == NodeState::Silent)
        return why = std::string("node is ") + toString(n.state), false;
    if (addr == kNoAddress)
        addr = n.rejoinShort != kNoAddress ? n.rejoinShort : n.nwk;
    if (addr == 0 || isBroadcast(addr) || !net_.readdress(n, addr))
        return why = "address taken or invalid", false;
    n.state = NodeState::Up;
    if (reachable(n))
        deviceAnnounce(n);
    scheduleReports(n);
    return true;
}

bool Module::removeNode(Node& n, int64_t nowMs, std::string& why) {
    now_ = nowMs;
    if (n.isModule)
        return why = "the module cannot be removed", false;
    if (!n.present())
        return why = "node is not in the network", false;
    if (n.state == NodeState::Dead)
        return why = "node is dead", false;
    bool heard = hearsLeave(n);
    net_.removeNode(n, false);
    if (heard)
        leaveIndication(n.ieee, false);
    return true;
}

bool Module::silenceNode(Node& n, std::string& why) {
    if (n.isModule)
        return why = "the module cannot be silenced", false;
    if (n.state != NodeState::Up)
        return why = std::string("node is ") + toString(n.state), false;
    n.state = NodeState::Silent;
    return true;
}

bool Module::reviveNode(Node& n, std::string& why) {
    if (n.state != NodeState::Silent)
        return why = std::string("node is ") + toString(n.state), false;
    n.state = NodeState::Up;
    return true;
}

bool Module::killNode(Node& n, std::string& why) {
    if (n.isModule)
        return why = "the module cannot be killed", false;
    if (!n.present())
        return why = "node is not in the network", false;
    n.state = NodeState::Dead;
    return true;
}

// What a node sends by itself: false with a reason when it does not answer or has no path to the
// module. A frame lost on the way still counts as sent.
static bool canOriginate(Module& m, Network& net, Node& n, std::string& why) {
    if (!net.moduleInNetwork())
        return why = "the network is not up", false;
    if (n.isModule || !n.answers())
        return why = "node does not answer", false;
    if (!m.reachable(n))
        return why = "node has no route to the module", false;
    return true;
}

bool Module::announceNode(Node& n, int64_t nowMs, std::string& why) {
    now_ = nowMs;
    if (!canOriginate(*this, net_, n, why))
        return false;
    if (!lost(n))
        deviceAnnounce(n);
    return true;
}

bool Module::sendFromNode(Node& n, uint8_t srcEp, uint16_t cluster,
                          const std::vector<uint8_t>& asdu, uint8_t dstEp, uint16_t profile,
                          const Addressing& how, int64_t nowMs, std::string& why) {
    now_ = nowMs;
    if (!canOriginate(*this, net_, n, why))
        return false;
    if (asdu.size() > kMaxPayload - 16)
        return why = "payload too long", false;
    if (srcEp != 0 && !n.endpoint(srcEp))
        return why = "node has no such end point", false;
    if (profile == 0xFFFF)
        profile = srcEp ? n.endpoint(srcEp)->profile : 0;
    uint16_t to = how.toModule ? net_.module().nwk : how.dstAddr;
    bool broadcast = how.dstMode == 0x01 || isBroadcast(to);
    if (!lost(n))
        dataIndication(n, srcEp, to, dstEp, profile, cluster, asdu, broadcast, how.dstMode,
                       how.srcMode);
    return true;
}

bool Module::setSensorValue(Node& n, double celsius, std::string& why) {
    if (n.app != AppKind::TemperatureSensor)
        return why = "node is not a temperature sensor", false;
    if (celsius < -273.0 || celsius > 327.0)
        return why = "value out of range", false;
    n.temperature = celsius;
    return true;
}

bool Module::reportNow(Node& n, int64_t nowMs, std::string& why) {
    now_ = nowMs;
    if (n.app != AppKind::TemperatureSensor)
        return why = "node is not a temperature sensor", false;
    if (!canOriginate(*this, net_, n, why))
        return false;
    const SimpleDesc* e = n.endpointWithInCluster(kClusterTemperature);
    std::vector<uint8_t> asdu{0x18, n.seq++, 0x0A, 0x00, 0x00, 0x29};
    putTemperature(asdu, n.temperature);
    if (!lost(n))
        dataIndication(n, e->ep, net_.module().nwk, n.reportEndpoint, e->profile,
                       kClusterTemperature, asdu, false);
    return true;
}

}  // namespace zbsim
