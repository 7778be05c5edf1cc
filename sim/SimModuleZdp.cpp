#include "SimModule.h"

#include <algorithm>
#include <set>

#include "SimModuleWire.h"

namespace zbsim {

using namespace wire;

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

}  // namespace zbsim
