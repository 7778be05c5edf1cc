#include "SimModule.h"

#include <algorithm>
#include <set>

#include "SimModuleWire.h"

namespace zbsim {

using namespace wire;

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

}  // namespace zbsim
