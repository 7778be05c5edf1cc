#include "SimModule.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <set>

namespace zbsim {

namespace {

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void put64(std::vector<uint8_t>& v, uint64_t x) {
    for (int i = 0; i < 8; ++i)
        v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
uint16_t get16(const std::vector<uint8_t>& v, size_t off) {
    return static_cast<uint16_t>(v[off] | v[off + 1] << 8);
}
uint32_t get32(const std::vector<uint8_t>& v, size_t off) {
    return static_cast<uint32_t>(v[off] | v[off + 1] << 8 | v[off + 2] << 16) |
           static_cast<uint32_t>(v[off + 3]) << 24;
}
uint64_t get64(const std::vector<uint8_t>& v, size_t off) {
    uint64_t x = 0;
    for (int i = 7; i >= 0; --i)
        x = x << 8 | v[off + static_cast<size_t>(i)];
    return x;
}
bool isBroadcast(uint16_t a) {
    return a >= 0xFFF8;
}
// A temperature as ZCL carries it: a signed 16-bit count of hundredths of a degree.
void putTemperature(std::vector<uint8_t>& v, double celsius) {
    put16(v, static_cast<uint16_t>(static_cast<int16_t>(std::lround(celsius * 100))));
}
// The lowest channel (11 to 26) the mask allows, or 0 when it allows none.
uint8_t lowestChannel(uint32_t mask) {
    for (uint8_t c = 11; c <= 26; ++c)
        if (mask & (1u << c))
            return c;
    return 0;
}
// Reads an input cluster count and its list, then an output cluster count and its list, starting
// at off; false when a count runs past the end. off is left after the last cluster read.
bool readClusterLists(const std::vector<uint8_t>& v, size_t& off, std::vector<uint16_t>& in,
                      std::vector<uint16_t>& out) {
    if (off >= v.size())
        return false;
    size_t nin = v[off++];
    if (off + 2 * nin + 1 > v.size())
        return false;
    for (size_t i = 0; i < nin; ++i, off += 2)
        in.push_back(get16(v, off));
    size_t nout = v[off++];
    if (off + 2 * nout > v.size())
        return false;
    for (size_t i = 0; i < nout; ++i, off += 2)
        out.push_back(get16(v, off));
    return true;
}
// One page of a table of `total` entries asked for from index `start`, at most `limit` long.
struct Page {
    size_t from;
    size_t count;
};
Page page(size_t total, size_t start, size_t limit) {
    size_t from = std::min(start, total);
    return {from, std::min(total - from, limit)};
}
// Whether d, the addressee of a device profile request, can answer about t: t is d itself, or
// one of d's end device children, which d answers for from what it keeps of them whether the
// child is awake, silent or dead (as long as the child is in the network).
bool answersAbout(const Node* d, const Node* t) {
    return d && d->present() && t && t->present() &&
           (t == d || (t->type == LogicalType::EndDevice && t->parent == d->nwk));
}
uint64_t mix(uint64_t x) {  // splitmix64's finaliser
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// ZigBee device profile and ZCL values used below.
constexpr uint8_t kSuccess = 0x00;
constexpr uint8_t kInvRequestType = 0x80;
constexpr uint8_t kDeviceNotFound = 0x81;
constexpr uint8_t kInvalidEp = 0x82;
constexpr uint8_t kNotActive = 0x83;
constexpr uint8_t kNotSupported = 0x84;
constexpr uint8_t kNoMatch = 0x86;
constexpr uint8_t kApsInvalidParameter = 0xA6;
constexpr uint8_t kApsUnsupportedAttribute = 0xB0;
constexpr uint8_t kNwkInvalidParameter = 0xC1;
constexpr uint8_t kNwkInvalidRequest = 0xC2;
constexpr uint8_t kNwkUnsupportedAttribute = 0xC9;
constexpr uint8_t kNwkNoNetworks = 0xCA;
constexpr uint8_t kNwkUnknownDevice = 0xC8;
constexpr uint8_t kNwkRouteError = 0xD1;
constexpr uint8_t kApsNoAck = 0xA7;

constexpr uint8_t kZclUnsupClusterCommand = 0x81;
constexpr uint8_t kZclUnsupGeneralCommand = 0x82;
constexpr uint8_t kZclUnsupportedAttribute = 0x86;
constexpr uint8_t kZclUnsupportedCluster = 0xC3;

constexpr uint16_t kClusterBasic = 0x0000;
constexpr uint16_t kClusterOnOff = 0x0006;
constexpr uint16_t kClusterTemperature = 0x0402;
}  // namespace

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

// ---- ZDP ---------------------------------------------------------------------------------------

void Module::addressResponse(uint8_t rspId, Node& n, uint8_t reqType, uint8_t start) {
    std::vector<uint8_t> v{kSuccess};
    put64(v, n.ieee);
    put16(v, n.nwk);
    if (reqType == 1) {
        std::vector<uint16_t> assoc = net_.associatedDevices(n.nwk);
        auto [from, count] =
            page(assoc.size(), start, static_cast<size_t>(net_.config().assocPerResponse));
        v.push_back(static_cast<uint8_t>(count));
        if (count) {
            v.push_back(start);
            for (size_t i = 0; i < count; ++i)
                put16(v, assoc[from + i]);
        }
    }
    send(Packet(0xA0, rspId, v));
}

void Module::onIeeeAddrReq(const Packet& p) {
    if (p.payload.size() != 6 || !net_.moduleInNetwork())
        return;
    uint16_t dst = get16(p.payload, 0), interest = get16(p.payload, 2);
    uint8_t reqType = p.payload[4], start = p.payload[5];
    Node* d = reach(dst);
    if (!d)
        return;
    Node* t = net_.find(interest);
    bool known = answersAbout(d, t);
    if (!known || reqType > 1) {
        std::vector<uint8_t> v{known ? kInvRequestType : kDeviceNotFound};
        put64(v, known ? t->ieee : 0);
        put16(v, interest);
        send(Packet(0xA0, 0x81, v));
        return;
    }
    addressResponse(0x81, *t, reqType, start);
}

void Module::onNwkAddrReq(const Packet& p) {
    if (p.payload.size() != 12 || !net_.moduleInNetwork())
        return;
    uint64_t ieee = get64(p.payload, 2);
    uint8_t reqType = p.payload[10], start = p.payload[11];
    Node* t = net_.findIeee(ieee);
    if (!t || !t->present())
        return;  // a broadcast nobody answers
    // The node answers for itself when it hears the broadcast (receiver on); an end device
    // that sleeps or does not answer has its parent answer for it.
    bool self = t->answers() && t->rxOnWhenIdle;
    if (!self && t->type != LogicalType::EndDevice)
        return;
    if (!reach(self ? t->nwk : t->parent))
        return;
    if (reqType > 1) {
        std::vector<uint8_t> v{kInvRequestType};
        put64(v, ieee);
        put16(v, t->nwk);
        send(Packet(0xA0, 0x80, v));
        return;
    }
    addressResponse(0x80, *t, reqType, start);
}

Node* Module::descriptorTarget(const Packet& p, size_t size, uint8_t rspId,
                               std::vector<uint8_t> errorTail) {
    if (p.payload.size() != size || !net_.moduleInNetwork())
        return nullptr;
    uint16_t dst = get16(p.payload, 0), interest = get16(p.payload, 2);
    Node* d = reach(dst);
    if (!d)
        return nullptr;
    Node* t = net_.find(interest);
    if (!answersAbout(d, t)) {
        std::vector<uint8_t> v{kDeviceNotFound};
        put16(v, interest);
        v.insert(v.end(), errorTail.begin(), errorTail.end());
        send(Packet(0xA0, rspId, v));
        return nullptr;
    }
    return t;
}

void Module::onNodeDescReq(const Packet& p) {
    Node* t = descriptorTarget(p, 4, 0x82, {});
    if (!t)
        return;
    std::vector<uint8_t> v{kSuccess};
    put16(v, t->nwk);
    auto d = t->nodeDescriptor();
    v.insert(v.end(), d.begin(), d.end());
    send(Packet(0xA0, 0x82, v));
}

void Module::onPowerDescReq(const Packet& p) {
    Node* t = descriptorTarget(p, 4, 0x83, {});
    if (!t)
        return;
    std::vector<uint8_t> v{kSuccess};
    put16(v, t->nwk);
    v.push_back(t->power[0]);
    v.push_back(t->power[1]);
    send(Packet(0xA0, 0x83, v));
}

void Module::onSimpleDescReq(const Packet& p) {
    Node* t = descriptorTarget(p, 5, 0x84, {0x00});
    if (!t)
        return;
    uint8_t ep = p.payload[4];
    const SimpleDesc* sd = t->endpoint(ep);
    if (ep < 1 || ep > 240 || !sd) {
        std::vector<uint8_t> v{static_cast<uint8_t>(ep < 1 || ep > 240 ? kInvalidEp : kNotActive)};
        put16(v, t->nwk);
        v.push_back(0);
        send(Packet(0xA0, 0x84, v));
        return;
    }
    std::vector<uint8_t> d{sd->ep};
    put16(d, sd->profile);
    put16(d, sd->device);
    d.push_back(sd->version);
    d.push_back(static_cast<uint8_t>(sd->in.size()));
    for (uint16_t c : sd->in)
        put16(d, c);
    d.push_back(static_cast<uint8_t>(sd->out.size()));
    for (uint16_t c : sd->out)
        put16(d, c);
    std::vector<uint8_t> v{kSuccess};
    put16(v, t->nwk);
    v.push_back(static_cast<uint8_t>(d.size()));
    v.insert(v.end(), d.begin(), d.end());
    if (v.size() > kMaxPayload) {  // a descriptor this large does not fit one frame
        v.assign({kNotSupported});
        put16(v, t->nwk);
        v.push_back(0);
    }
    send(Packet(0xA0, 0x84, v));
}

void Module::onActiveEpReq(const Packet& p) {
    Node* t = descriptorTarget(p, 4, 0x85, {0x00});
    if (!t)
        return;
    std::vector<uint8_t> v{kSuccess};
    put16(v, t->nwk);
    v.push_back(static_cast<uint8_t>(t->endpoints.size()));
    for (const auto& e : t->endpoints)
        v.push_back(e.ep);
    send(Packet(0xA0, 0x85, v));
}

void Module::onMatchDescReq(const Packet& p) {
    const auto& v = p.payload;
    if (v.size() < 8 || !net_.moduleInNetwork())
        return;
    uint16_t dst = get16(v, 0), interest = get16(v, 2), profile = get16(v, 4);
    std::vector<uint16_t> in, out;
    size_t off = 6;
    if (!readClusterLists(v, off, in, out) || off != v.size())
        return;

    auto matches = [&](const Node& n) {
        std::vector<uint8_t> eps;
        for (const auto& e : n.endpoints) {
            if (profile != 0xFFFF && e.profile != profile)
                continue;
            bool hit = std::any_of(in.begin(), in.end(), [&](uint16_t c) { return e.hasIn(c); }) ||
                       std::any_of(out.begin(), out.end(), [&](uint16_t c) { return e.hasOut(c); });
            if (hit)
                eps.push_back(e.ep);
        }
        return eps;
    };
    auto answer = [&](uint8_t status, uint16_t nwk, const std::vector<uint8_t>& eps) {
        // The network address of this response goes high byte first.
        std::vector<uint8_t> r{status, static_cast<uint8_t>(nwk >> 8),
                               static_cast<uint8_t>(nwk & 0xFF), static_cast<uint8_t>(eps.size())};
        r.insert(r.end(), eps.begin(), eps.end());
        send(Packet(0xA0, 0x86, r));
    };
    if (isBroadcast(dst) || isBroadcast(interest)) {
        for (Node* n : net_.all()) {
            if (n->isModule || !n->answers() || !reachable(*n) || lost(*n))
                continue;
            auto eps = matches(*n);
            answerDelayMs_ = answerDelay(*n);
            if (!eps.empty())
                answer(kSuccess, n->nwk, eps);
        }
        return;
    }
    Node* d = reach(dst);
    if (!d)
        return;
    Node* t = net_.find(interest);
    if (!answersAbout(d, t)) {
        answer(kDeviceNotFound, interest, {});
        return;
    }
    answer(kSuccess, t->nwk, matches(*t));
}

void Module::onEndDeviceBindReq(const Packet& p) {
    // Matched against the simulated nodes at once instead of waiting for a second request from
    // another device: the first end point with the same profile and a complementary cluster.
    const auto& v = p.payload;
    if (v.size() < 15 || !net_.moduleInNetwork())
        return;
    uint64_t srcIeee = get64(v, 2);
    uint8_t srcEp = v[10];
    uint16_t profile = get16(v, 11);
    std::vector<uint16_t> in, out;
    size_t off = 13;
    if (!readClusterLists(v, off, in, out) || off != v.size())
        return;
    Node* src = net_.findIeee(srcIeee);
    uint8_t status = kNoMatch;
    if (src) {
        for (Node* n : net_.all()) {
            if (n == src || !n->answers())
                continue;
            for (const auto& e : n->endpoints) {
                if (e.profile != profile)
                    continue;
                bool any = false;
                for (uint16_t c : out)
                    if (e.hasIn(c)) {
                        net_.addBinding(*src, Binding{srcIeee, srcEp, c, n->ieee, e.ep});
                        any = true;
                    }
                for (uint16_t c : in)
                    if (e.hasOut(c)) {
                        net_.addBinding(*n, Binding{n->ieee, e.ep, c, srcIeee, srcEp});
                        any = true;
                    }
                if (any) {
                    status = kSuccess;
                    break;
                }
            }
            if (status == kSuccess)
                break;
        }
    }
    send(Packet(0xA0, 0xA0, {status}));
}

void Module::bindReq(const Packet& p, bool bind) {
    const auto& v = p.payload;
    if (v.size() != 23 || !net_.moduleInNetwork())
        return;
    Node* d = reach(get16(v, 0));
    if (!d)
        return;
    Binding b;
    b.srcIeee = get64(v, 2);
    b.srcEp = v[10];
    b.cluster = get16(v, 11);
    uint8_t mode = v[13];
    b.dstIeee = get64(v, 14);
    b.dstEp = v[22];
    uint8_t status;
    if (b.srcIeee != d->ieee || mode != 0x03)
        status = kNotSupported;
    else if (b.srcEp < 1 || b.srcEp > 240)
        status = kInvalidEp;
    else
        status = bind ? net_.addBinding(*d, b) : net_.removeBinding(*d, b);
    send(Packet(0xA0, bind ? 0xA1 : 0xA2, {status}));
}

void Module::onBindReq(const Packet& p) {
    bindReq(p, true);
}
void Module::onUnbindReq(const Packet& p) {
    bindReq(p, false);
}

void Module::onMgmtLqiReq(const Packet& p) {
    if (p.payload.size() != 3 || !net_.moduleInNetwork())
        return;
    Node* d = reach(get16(p.payload, 0));
    if (!d)
        return;
    if (d->refuseLqi) {
        zdpResponse(*d, 0x8031, {zdpSeq_++, d->refuseLqi});
        send(Packet(0xA0, 0xB1, {d->refuseLqi}));
        return;
    }
    uint8_t start = p.payload[2];
    auto table = net_.neighborTable(*d, now_);
    auto [from, count] =
        page(table.size(), start, static_cast<size_t>(net_.config().lqiPerResponse));
    std::vector<uint8_t> rsp{kSuccess, static_cast<uint8_t>(table.size()), start,
                             static_cast<uint8_t>(count)};
    for (size_t i = 0; i < count; ++i) {
        const auto& e = table[from + i];
        put64(rsp, e.extPanId);
        put64(rsp, e.ieee);
        put16(rsp, e.nwk);
        rsp.push_back(e.devTypeRxOnRelation);
        rsp.push_back(e.permitJoining);
        rsp.push_back(e.depth);
        rsp.push_back(e.lqi);
    }
    // The module hands up the response frame as a data indication from the node first, then as
    // the decoded response.
    std::vector<uint8_t> asdu{zdpSeq_++};
    asdu.insert(asdu.end(), rsp.begin(), rsp.end());
    zdpResponse(*d, 0x8031, asdu);
    send(Packet(0xA0, 0xB1, rsp));
}

void Module::onMgmtBindReq(const Packet& p) {
    if (p.payload.size() != 4 || !net_.moduleInNetwork())
        return;
    Node* d = reach(get16(p.payload, 0));
    if (!d)
        return;
    if (d->refuseBind) {
        send(Packet(0xA0, 0xB3, {d->refuseBind}));
        return;
    }
    uint16_t start = get16(p.payload, 2);
    const auto& t = d->bindings;
    auto [from, count] = page(t.size(), start, 6);
    std::vector<uint8_t> v{kSuccess, static_cast<uint8_t>(t.size()),
                           static_cast<uint8_t>(std::min<uint16_t>(start, 0xFF)),
                           static_cast<uint8_t>(count)};
    for (size_t i = 0; i < count; ++i) {
        const Binding& b = t[from + i];
        put64(v, b.srcIeee);
        v.push_back(b.srcEp);
        put16(v, b.cluster);
        v.push_back(0x03);
        put64(v, b.dstIeee);
        v.push_back(b.dstEp);
    }
    send(Packet(0xA0, 0xB3, v));
}

void Module::onMgmtPermitJoinReq(const Packet& p) {
    if (p.payload.size() != 4 || !net_.moduleInNetwork())
        return;
    uint16_t dst = get16(p.payload, 0);
    uint8_t duration = p.payload[2];
    if (isBroadcast(dst)) {
        for (Node* n : net_.all())
            if (n->answers() && n->type != LogicalType::EndDevice && reachable(*n))
                permitOn(*n, duration);
        send(Packet(0xA0, 0xB6, {kSuccess}));
        return;
    }
    Node* d = reach(dst);
    if (!d)
        return;
    if (d->type == LogicalType::EndDevice) {
        send(Packet(0xA0, 0xB6, {kNotSupported}));
        return;
    }
    permitOn(*d, duration);
    send(Packet(0xA0, 0xB6, {kSuccess}));
}

void Module::onMgmtNwkUpdateReq(const Packet& p) {
    // Only the channel change (duration 0xFE) is simulated; energy scans report nothing.
    if (p.payload.size() != 8 || !net_.moduleInNetwork() || p.payload[6] != 0xFE)
        return;
    if (uint8_t c = lowestChannel(get32(p.payload, 2)))
        channel_ = c;
}

// ---- data
// ----------------------------------------------------------------------------------------

void Module::dataIndication(const Node& from, uint8_t srcEp, uint16_t dstAddr, uint8_t dstEp,
                            uint16_t profile, uint16_t cluster, const std::vector<uint8_t>& asdu,
                            bool broadcast, uint8_t dstMode, uint8_t srcMode) {
    // The module's APS layer hands up only what is for the device object, the broadcast end
    // point or an end point the gateway registered.
    if (dstEp != 0 && dstEp != 0xFF && !net_.module().endpoint(dstEp)) {
        log("data indication for unregistered end point " + std::to_string(dstEp) + " dropped");
        return;
    }
    std::vector<uint8_t> v{dstMode};
    put16(v, dstAddr);
    v.push_back(dstEp);
    // The packet has room for a 16-bit source only: with the IEEE mode (3) it still carries the
    // sender's short address.
    v.push_back(srcMode);
    put16(v, from.nwk);
    v.push_back(srcEp);
    put16(v, profile);
    put16(v, cluster);
    v.push_back(static_cast<uint8_t>(asdu.size()));
    v.insert(v.end(), asdu.begin(), asdu.end());
    v.push_back(from.isModule ? 0xFF : from.lqi);  // link quality of the received frame
    v.push_back(broadcast ? 1 : 0);
    v.push_back(0x00);  // security status
    if (v.size() > kMaxPayload) {
        log("data indication too large for one frame, dropped");
        return;
    }
    send(Packet(0x9D, 0x01, v));
}

void Module::zdpResponse(const Node& from, uint16_t cluster, const std::vector<uint8_t>& asdu) {
    dataIndication(from, 0, net_.module().nwk, 0, 0x0000, cluster, asdu, false);
}

void Module::deviceAnnounce(Node& n) {
    std::vector<uint8_t> asdu{zdpSeq_++};
    put16(asdu, n.nwk);
    put64(asdu, n.ieee);
    asdu.push_back(n.macCap);
    dataIndication(n, 0, 0xFFFD, 0, 0x0000, 0x0013, asdu, true);
}

void Module::leaveIndication(uint64_t ieee, bool rejoin) {
    std::vector<uint8_t> v;
    put64(v, ieee);
    v.push_back(rejoin ? 1 : 0);
    send(Packet(0x97, 0x49, v));
}

void Module::leave(Node& responder, Node& n, uint8_t options, uint8_t seq) {
    bool rejoin = options & 0x80;
    // The addressed node confirms with a Mgmt_Leave_rsp, then the node leaves; the module
    // reports the leaves it hears.
    zdpResponse(responder, 0x8034, {seq, kSuccess});
    auto removed = net_.removeNode(n, options & 0x40);
    for (Node* r : removed)
        if (hearsLeave(*r))
            leaveIndication(r->ieee, rejoin && r == &n);
    if (rejoin) {
        Node* np = &n;
        after(rejoinMs_, [this, np] {
            std::string why;
            if (np->state == NodeState::Absent)
                rejoinNode(*np, kNoAddress, now_, why);
        });
    }
}

void Module::onDataRequest(const Packet& p) {
    const auto& v = p.payload;
    if (v.size() < 18)
        return;
    uint8_t mode = v[0];
    uint8_t dstEp = v[9];
    uint16_t profile = get16(v, 10), cluster = get16(v, 12);
    uint8_t srcEp = v[14];
    std::vector<uint8_t> asdu(v.begin() + 16, v.end() - 2);
    auto confirm = [&](uint8_t status) {
        std::vector<uint8_t> c{mode};
        c.insert(c.end(), v.begin() + 1, v.begin() + 9);
        c.push_back(dstEp);
        c.push_back(srcEp);
        c.push_back(status);
        send(Packet(0x9D, 0x00, c));
    };
    if (!net_.moduleInNetwork()) {
        confirm(kNwkInvalidRequest);
        return;
    }
    std::vector<std::pair<Node*, uint8_t>> targets;  // node, end point
    bool broadcast = false;
    if (mode == 0x02 && isBroadcast(get16(v, 1))) {
        // 0xFFFF reaches every device, 0xFFFD those with the receiver on, 0xFFFC the routers.
        uint16_t to = get16(v, 1);
        broadcast = true;
        for (Node* n : net_.all()) {
            bool hears = to == 0xFFFF || (to == 0xFFFD && n->rxOnWhenIdle) ||
                         (to == 0xFFFC && n->type != LogicalType::EndDevice);
            if (!n->isModule && hears && n->answers() && reachable(*n))
                targets.push_back({n, dstEp});
        }
        confirm(kSuccess);
    } else if (mode == 0x02 || mode == 0x03) {
        Node* n = mode == 0x02 ? net_.find(get16(v, 1)) : net_.findIeee(get64(v, 1));
        if (!n || !n->present()) {  // no route to an address nobody has
            answerDelayMs_ = noAckDelay();
            confirm(kNwkRouteError);
            return;
        }
        if (!n->answers() || !reachable(*n) || (!n->isModule && lost(*n))) {
            answerDelayMs_ = noAckDelay();  // no acknowledgement comes back
            confirm(kApsNoAck);
            return;
        }
        answerDelayMs_ = answerDelay(*n);
        confirm(kSuccess);
        targets.push_back({n, dstEp});
    } else if (mode == 0x00) {  // indirect: through the module's own binding table
        confirm(kSuccess);
        for (const Binding& b : net_.module().bindings) {
            if (b.srcEp != srcEp || b.cluster != cluster)
                continue;
            Node* n = net_.findIeee(b.dstIeee);
            if (n && n->answers() && reachable(*n))
                targets.push_back({n, b.dstEp});
        }
    } else {  // group addressing is accepted and reaches nobody
        confirm(kSuccess);
    }
    for (auto& t : targets) {
        Node& n = *t.first;
        if (broadcast || mode == 0x00) {
            if (!n.isModule && lost(n))
                continue;
            answerDelayMs_ = answerDelay(n);
        }
        if (profile == 0 && t.second == 0 && srcEp == 0) {
            if (cluster == 0x0034 && asdu.size() >= 10) {
                uint64_t target = get64(asdu, 1);
                Node* who = &n;
                if (target != 0 && target != n.ieee) {
                    who = nullptr;
                    for (Node* c : net_.children(n.nwk, false))
                        if (c->ieee == target)
                            who = c;
                }
                if (!who) {
                    zdpResponse(n, 0x8034, {asdu[0], kNwkUnknownDevice});
                } else if (who->isModule) {
                    zdpResponse(n, 0x8034, {asdu[0], kNotSupported});
                } else {
                    leave(n, *who, asdu[9], asdu[0]);
                }
            } else if (cluster == 0x0036 && asdu.size() >= 3 && n.type != LogicalType::EndDevice) {
                permitOn(n, asdu[1]);
            }
            continue;
        }
        if (!n.isModule)  // a frame to the module's own address goes nowhere
            deliverApp(n, t.second, srcEp, profile, cluster, asdu, broadcast);
    }
}

void Module::deliverApp(Node& n, uint8_t dstEp, uint8_t srcEp, uint16_t profile, uint16_t cluster,
                        const std::vector<uint8_t>& asdu, bool broadcast) {
    for (const auto& e : n.endpoints) {
        if (dstEp != 0xFF && e.ep != dstEp)
            continue;
        if (e.profile != profile && profile != 0xFFFF)
            continue;
        auto answer = zclAnswer(n, e, cluster, asdu, broadcast);
        if (!answer.empty())
            dataIndication(n, e.ep, net_.module().nwk, srcEp, e.profile, cluster, answer, false);
    }
}

void Module::readAttribute(Node& n, uint16_t cluster, uint16_t attr, std::vector<uint8_t>& out) {
    put16(out, attr);
    auto str = [&](const std::string& s) {
        out.push_back(kSuccess);
        out.push_back(0x42);
        size_t len = std::min<size_t>(s.size(), 32);
        out.push_back(static_cast<uint8_t>(len));
        out.insert(out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(len));
    };
    if (cluster == kClusterOnOff && attr == 0x0000 && n.app == AppKind::OnOffLight) {
        out.insert(out.end(), {kSuccess, 0x10, static_cast<uint8_t>(n.onOff ? 1 : 0)});
    } else if (cluster == kClusterTemperature && n.app == AppKind::TemperatureSensor &&
               attr <= 0x0002) {
        double c = attr == 0 ? n.temperature : attr == 1 ? -40.0 : 125.0;
        out.push_back(kSuccess);
        out.push_back(0x29);
        putTemperature(out, c);
    } else if (cluster == kClusterBasic && attr == 0x0000) {
        out.insert(out.end(), {kSuccess, 0x20, 0x02});
    } else if (cluster == kClusterBasic && attr == 0x0004) {
        str(n.manufacturerName);
    } else if (cluster == kClusterBasic && attr == 0x0005) {
        str(n.model);
    } else if (cluster == kClusterBasic && attr == 0x0007) {
        out.insert(out.end(),
                   {kSuccess, 0x30, static_cast<uint8_t>((n.power[1] & 0x0F) == 1 ? 1 : 3)});
    } else {
        out.push_back(kZclUnsupportedAttribute);
    }
}

std::vector<uint8_t> Module::zclAnswer(Node& n, const SimpleDesc& ep, uint16_t cluster,
                                       const std::vector<uint8_t>& asdu, bool broadcast) {
    if (asdu.size() < 3)
        return {};
    uint8_t fc = asdu[0];
    size_t off = (fc & 0x04) ? 3 : 1;  // manufacturer-specific frames carry a code first
    if (asdu.size() < off + 2)
        return {};
    uint8_t seq = asdu[off], cmd = asdu[off + 1];
    size_t body = off + 2;
    bool clusterSpecific = (fc & 0x03) == 0x01;
    // No default response to a broadcast, nor to a request that disables it.
    bool wantDefault = !(fc & 0x10) && !broadcast;
    auto defaultRsp = [&](uint8_t status) -> std::vector<uint8_t> {
        if (!wantDefault)
            return {};
        return {0x18, seq, 0x0B, cmd, status};
    };
    if (fc & 0x08)
        return {};  // frames from a server are answers, not requests
    if (!ep.hasIn(cluster))
        return defaultRsp(kZclUnsupportedCluster);
    if (!clusterSpecific) {
        if (cmd == 0x00) {  // read attributes
            std::vector<uint8_t> r{0x18, seq, 0x01};
            for (size_t i = body; i + 1 < asdu.size(); i += 2)
                readAttribute(n, cluster, get16(asdu, i), r);
            if (r.size() > 80)
                r.resize(3);  // keep within one APS frame; empty answer
            return r;
        }
        if (cmd == 0x0B)
            return {};
        return defaultRsp(kZclUnsupGeneralCommand);
    }
    if (cluster == kClusterOnOff && n.app == AppKind::OnOffLight && (fc & 0x04) == 0) {
        if (cmd <= 0x02) {
            n.onOff = cmd == 0x01 ? true : cmd == 0x00 ? false : !n.onOff;
            return defaultRsp(kSuccess);
        }
    }
    return defaultRsp(kZclUnsupClusterCommand);
}

// A sensor's reports: the first one at a phase of its own within the interval (drawn from the
// seed, so that a large network does not report all at once), then one every interval. Starting
// again (a join, a rejoin, a new network) ends the chain that ran before.
void Module::scheduleReports(Node& n) {
    if (n.app != AppKind::TemperatureSensor || n.reportIntervalS <= 0)
        return;
    int64_t period = n.reportIntervalS * 1000LL;
    int64_t phase = static_cast<int64_t>(draw(n.ieee, 0x4E90) % static_cast<uint64_t>(period)) + 1;
    reportAfter(&n, ++n.reportChain, phase);
}

void Module::reportAfter(Node* np, uint64_t chain, int64_t ms) {
    after(static_cast<int>(ms), [this, np, chain] {
        if (np->reportChain != chain || !np->present())
            return;
        std::string why;
        if (np->answers())
            reportNow(*np, now_, why);
        reportAfter(np, chain, np->reportIntervalS * 1000LL);
    });
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
