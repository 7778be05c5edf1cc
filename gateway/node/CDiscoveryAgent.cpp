#include "CDiscoveryAgent.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "CDebug.h"

void decodeNodeDescriptor(const ZB_NODE_DESC& in, NodeDescriptor* out, int* badLogicalType,
                          int* badFrequency) {
    *badLogicalType = -1;
    *badFrequency = -1;
    const int logical = in.logical_type;
    if (logical <= ENDDEVICE) {
        out->logicaltype = static_cast<enum_logicaltype>(logical);
    } else {
        out->logicaltype = UNKNOWN_LOGICALTYPE;
        *badLogicalType = logical;
    }
    out->APSflags = in.aps_flags;
    const int band = in.freq_band;
    if (band == F868_868D6 || band == F902_928 || band == F2400_2483D5) {
        out->frequencyband = static_cast<enum_frequencyband>(band);
    } else {
        out->frequencyband = UNKNOWN_VALUE;
        *badFrequency = band;
    }
    out->mac_cap = in.mac_cap;
    out->alternatePANcoordinator = (in.mac_cap & 0x01) != 0;
    out->devicetype = (in.mac_cap & 0x02) != 0;
    out->powersource = (in.mac_cap & 0x04) != 0;
    out->receiveronwhenidle = (in.mac_cap & 0x08) != 0;
    out->securytycapability = (in.mac_cap & 0x40) != 0;
    out->manufacturecode = in.manifact_code;
    out->maximumbuffersize = in.max_buf_size;
    out->maximumtransfersize = in.max_transf_size;
    out->server_mask = in.server_mask;
    out->filled = true;
}

void decodePowerDescriptor(const ZB_POWER_DESC& in, PowerDescriptor* out, int* badMode,
                           int* badLevel) {
    *badMode = -1;
    *badLevel = -1;
    const int mode = in.curr_pw_mode;
    if (mode <= WHENSTIMULATED) {
        out->currentpowermode = static_cast<enum_currentpowermode>(mode);
    } else {
        out->currentpowermode = UNKNOWN_POWERMODE;
        *badMode = mode;
    }
    // Bit 0 constant mains, bit 1 rechargeable battery, bit 2 disposable battery.
    for (int i = 0; i < 3; ++i) {
        out->avaiablepowersource[i] = (in.avail_pw_src >> i) & 1;
        out->currentpowersource[i] = (in.curr_pw_src >> i) & 1;
    }
    const int level = in.curr_pw_src_level;
    if (level == CRITICAL || level == P33 || level == P66 || level == P100) {
        out->currentpowersourcelevel = static_cast<enum_currentpowersourcelevel>(level);
    } else {
        out->currentpowersourcelevel = UNKNOWN_PSLEVEL;
        *badLevel = level;
    }
    out->filled = true;
}

bool isRealIeee(const unsigned char* ieee) {
    static const unsigned char zeros[8] = {0};
    static const unsigned char ones[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    return std::memcmp(ieee, zeros, 8) != 0 && std::memcmp(ieee, ones, 8) != 0;
}

// The confirm and indication handlers (reader thread) and what they share.

// A device announcement, or a node that discovery or keep-alive found present. Returns
// the node, or null when the database refused the announcement (it would have displaced
// the root).
Node* DiscoveryCore::Announce_Cb(unsigned short nwk, unsigned char* ieee,
                                 unsigned char capability) {
    if (ieee == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> lock(mux);
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    Node* node = pOrqDb->nodeAnnounce(nwk, ieee, capability);
    if (node == nullptr) {
        ORQ_LOG(*pLogger, WARN, "Announce_Cb - announcement of 0x%04x refused", nwk);
        return nullptr;
    }
    auto& c = functionsContext.announce;
    if (announceOp.isRunning() && c.rpcContext.hasNotify()) {
        pOrqDb->setActive(node, true);
        unsigned long long id = 0;
        for (int i = 0; i < 8; ++i) {
            id = (id << 8) | ieee[i];
        }
        std::printf(
            "Announce_Cb - Discovered new node: 0x%04x - "
            "0x%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x (%lld)!\n",
            nwk, ieee[0], ieee[1], ieee[2], ieee[3], ieee[4], ieee[5], ieee[6], ieee[7],
            static_cast<long long>(id));
        RPCReqStatus st(c, AGENT_SUCCESS);
        c.rpcContext.notify(node, &st);
    } else {
        std::printf("Announce_Cb - No callback registered to announce 0x%04x!\n", nwk);
        pOrqDb->setActive(node, false);
    }
    return node;
}

// Every IEEE address confirm (permanent listener).
void DiscoveryCore::IeeeAddrConfirm_Cb(unsigned char status, unsigned char* ieee,
                                       unsigned short nwk, unsigned char, unsigned char,
                                       unsigned short*) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    Node* node = pOrqDb->findNodeByNwkAddr(nwk);
    if (status == 0x81) {
        if (node != nullptr && node == pOrqDb->getRoot()) {
            std::printf(
                "IeeeAddrConfirm_Cb - ERROR (firmware issue): Coordinator does not "
                "recognized its IEEEAddr!\n");
        } else if (node != nullptr) {
            node->setKANodeTimer(KA_UNKNOWN_TO_NETWORK);
        }
        return;
    }
    if (status != 0 || ieee == nullptr) {
        ORQ_LOG(*pLogger, WARN, "IeeeAddrConfirm_Cb - status 0x%02x for 0x%04x", status, nwk);
        return;
    }
    if (node == nullptr) {
        ORQ_LOG(*pLogger, INFO,
                "IeeeAddrConfirm_Cb - Received an IEEEAddrConfirm - Creating a new entry for "
                "node (0x%04x)",
                nwk);
        Node* n = Announce_Cb(nwk, ieee, 8);
        if (n != nullptr) {
            n->setKANodeTimer(keepAliveTask.getKAthreshold() - 1);
        }
    } else if (std::memcmp(node->get_ieee_addr(), ieee, 8) != 0) {
        // A placeholder of a walk learns its address; when another entry holds it
        // already, the announcement moves that entry here instead.
        Node* holder = pOrqDb->findNodeByIEEEAddr(ieee);
        if (holder == nullptr) {
            pOrqDb->setIeeeAddr(node, ieee);
        }
        Announce_Cb(nwk, ieee, 8);
    } else if (!node->getIsActive()) {
        Announce_Cb(nwk, ieee, 8);
    }
}

void DiscoveryCore::Inquiry_Cb(unsigned char status, unsigned char* ieee, unsigned short nwk,
                               unsigned char count, unsigned char, unsigned short* list) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (!inquiryOp.isRunning()) {
        return;
    }
    auto& c = functionsContext.inquiry;
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    Node* reporter = pOrqDb->findNodeByNwkAddr(nwk);
    if (!takePending(inquiryPending, nwk)) {
        // Not an answer this walk waits for (another request's, or a late one).
        if (reporter == nullptr) {
            ORQ_LOG(*pLogger, WARN, "Inquiry_Cb - Error: Nonexistent node %04x has been received",
                    nwk);
            RPCReqStatus st(c, INQUIRY_NONEXISTENTENT_NODE);
            c.rpcContext.notify(static_cast<Node*>(nullptr), &st);
        }
        return;
    }
    inquiryOp.received();
    if (status != 0 || ieee == nullptr || reporter == nullptr) {
        ORQ_LOG(*pLogger, WARN, "Inquiry_Cb - ERROR returned by ZDO_IEEE_ADDR_confirm");
        inquiryOp.fail();
        inquiryWalk.markIncomplete();
        if (inquiryOp.nothingExpected()) {
            completeInquiry();
        }
        RPCReqStatus st(c, INQUIRY_ERROR);
        c.rpcContext.notify(static_cast<Node*>(nullptr), &st);
        return;
    }
    pOrqDb->setIeeeAddr(reporter, ieee);
    // Each child is one more answer expected; one this walk reached before marks the result.
    for (int i = 0; i < count && list != nullptr; ++i) {
        if (!adoptChild(inquiryWalk, reporter, ieee, list[i], "Inquiry_Cb")) {
            inquiryOp.fail();
            continue;
        }
        requestAddress(inquiryOp, inquiryPending, list[i]);
    }
    if (inquiryOp.nothingExpected()) {
        completeInquiry();
    }
    RPCReqStatus st(c, AGENT_SUCCESS);
    c.rpcContext.notify(reporter, &st);
}

void DiscoveryCore::Mgmt_LQI_Cb(unsigned char srcMode, unsigned char* srcAddr, unsigned char status,
                                unsigned char total, unsigned char startIndex,
                                unsigned char listCount, ZB_NEIGHBOR_TABLE_LIST* list) {
    if (srcAddr == nullptr) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(mux);
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    Node* node = nullptr;
    if (srcMode == 3) {
        node = pOrqDb->findNodeByIEEEAddr(srcAddr);
        if (node == nullptr) {
            std::printf(
                "Mgmt_LQI_Cb - WARNING: node %02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x not in "
                "DB. Nothing that we can do!\n",
                srcAddr[0], srcAddr[1], srcAddr[2], srcAddr[3], srcAddr[4], srcAddr[5], srcAddr[6],
                srcAddr[7]);
            return;
        }
    } else {
        const unsigned short from = static_cast<unsigned short>(srcAddr[0] | (srcAddr[1] << 8));
        node = pOrqDb->findNodeByNwkAddr(from);
        if (node == nullptr) {
            ORQ_LOG(*pLogger, WARN,
                    "Mgmt_LQI_Cb - WARNING: Found a node not in DB (0x%04x) - Send a "
                    "ZDO_IEEE_ADDR_request!",
                    from);
            requestAddress(from);
            return;
        }
    }
    const unsigned short nwk = node->get_nwk_addr();
    const bool forWalk = lqiOp.isRunning() && takePending(lqiPending, nwk);
    if (forWalk) {
        lqiOp.received();
        lqiWalk.reach(nwk);
    }
    if (!isRealIeee(node->get_ieee_addr())) {
        ORQ_LOG(*pLogger, WARN,
                "Mgmt_LQI_Cb - WARNING: Node 0x%04x without IEEEAddr - Send a "
                "ZDO_IEEE_ADDR_request!",
                nwk);
        requestAddress(nwk);
    }
    if (node == pOrqDb->getRoot()) {
        pOrqZb->manageNodeTimeouts(3, node->get_ieee_addr());
        rootNodeDiscovered = true;
    }
    if (!node->getIsActive() && isRealIeee(node->get_ieee_addr())) {
        unsigned char ieee[8];
        std::memcpy(ieee, node->get_ieee_addr(), 8);
        node = Announce_Cb(nwk, ieee, 8);
        if (node == nullptr) {
            return;
        }
    }
    if (status != 0) {
        ORQ_LOG(*pLogger, WARN,
                "Mgmt_LQI_Cb - Node 0x%04x returned MGMT_LQI_Rsp with an error: 0x%02x", nwk,
                status);
        // A running discovery hears of every refusal; it ends only when nothing it
        // waits for is left.
        if (lqiOp.isRunning()) {
            lqiOp.fail();
            lqiWalk.markIncomplete();
            if (forWalk && lqiOp.nothingExpected()) {
                completeLqi(INQUIRY_ERROR);
            } else {
                RPCReqStatus st(functionsContext.MgmtLQI, INQUIRY_ERROR);
                functionsContext.MgmtLQI.rpcContext.notify(static_cast<Node*>(nullptr), &st);
            }
        }
        return;
    }
    if (startIndex + listCount < total) {
        if (listCount != 0) {
            requestLqi(forWalk ? &lqiOp : nullptr, nwk,
                       static_cast<unsigned char>(startIndex + listCount));
        } else {
            std::printf(
                "Mgmt_LQI_Cb - ERROR: start index %d + list count %d below the %d entries "
                "of 0x%04x, nothing more asked\n",
                startIndex, listCount, total, nwk);
        }
    }
    ORQ_LOG(*pLogger, DEBUG, "Mgmt_LQI_Cb - Node 0x%04x contains 0x%02x neighbors", nwk, listCount);
    for (int i = 0; i < listCount && list != nullptr; ++i) {
        learnNeighbour(node, list[i]);
    }
    pOrqDb->updateLQIDetails(node, list, list != nullptr ? listCount : 0);
    if (forWalk && lqiOp.nothingExpected()) {
        ORQ_LOG(*pLogger, INFO, "Mgmt_LQI_Cb - No more MGMT_LQI pending");
        completeLqi(AGENT_SUCCESS);
    }
}

void DiscoveryCore::getNodeDescriptor_Cb(unsigned char status, unsigned short nwk,
                                         ZB_NODE_DESC* nd) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (!nodeDescOp.isRunning()) {
        return;
    }
    auto& c = functionsContext.getNodeDescriptor;
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    nodeDescOp.received();
    Node* node = pOrqDb->findNodeByNwkAddr(nwk);
    if (status != 0 || nd == nullptr || node == nullptr) {
        const AgentError err =
            status != 0 || nd == nullptr ? NODE_DESCRIPTOR_ERROR : NONEXISTENTENT_NODE;
        if (err == NODE_DESCRIPTOR_ERROR) {
            ORQ_LOG(*pLogger, WARN,
                    "getNodeDescriptor_Cb - ERROR returned by ZDO_NODE_DESC_confirm");
        } else {
            ORQ_LOG(*pLogger, WARN,
                    "getNodeDescriptor_Cb - ERROR: arrived a node desc confirm for a "
                    "unexistent node %04X",
                    nwk);
        }
        nodeDescOp.fail();
        if (nodeDescOp.nothingExpected()) {
            nodeDescOp.finish(End);
        }
        RPCReqStatus st(c, err);
        if (!c.rpcContext.notify(static_cast<Node*>(nullptr), &st)) {
            c.rpcContext.respond(nwk, nullptr, nullptr, c.rpcContext.getSessionId(), &st);
        }
        return;
    }
    decodeNode(*nd, node, "getNodeDescriptor_Cb");
    RPCReqStatus st(c, AGENT_SUCCESS);
    if (nodeDescOp.nothingExpected()) {
        nodeDescOp.finish(End);
    }
    NodeDescriptor desc = node->node_desc;  // the reply's copy
    if (!c.rpcContext.notify(node, &st) &&
        !c.rpcContext.respond(nwk, const_cast<unsigned char*>(node->get_ieee_addr()), &desc,
                              c.rpcContext.getSessionId(), &st)) {
        ORQ_LOG(*pLogger, DEBUG,
                "getNodeDescriptor_Cb - Both getRPCNotifyCb and getRPCResponseCb are NULL");
    }
}

void DiscoveryCore::getPowerDescriptor_Cb(unsigned char status, unsigned short nwk,
                                          ZB_POWER_DESC* pd) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (!powerDescOp.isRunning()) {
        return;
    }
    auto& c = functionsContext.getPowerDescriptor;
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    powerDescOp.received();
    Node* node = pOrqDb->findNodeByNwkAddr(nwk);
    AgentError err = AGENT_SUCCESS;
    if (status != 0 || pd == nullptr) {
        err = POWER_DESCRIPTOR_ERROR;
    } else if (node == nullptr) {
        err = NONEXISTENTENT_NODE;
    } else {
        decodePower(*pd, node, "getPowerDescriptor_Cb");
    }
    if (err != AGENT_SUCCESS) {
        powerDescOp.fail();
    }
    if (!powerDescOp.nothingExpected()) {
        ORQ_LOG(*pLogger, DEBUG, "getPowerDescriptor_Cb - getPowerDescriptor NOT completed.");
        return;
    }
    ORQ_LOG(*pLogger, DEBUG, "getPowerDescriptor_Cb - getPowerDescriptor completed (node %04X)",
            nwk);
    powerDescOp.finish(End);
    RPCReqStatus st(c, err);
    if (err == AGENT_SUCCESS) {
        PowerDescriptor desc = node->power_desc;  // the reply's copy
        c.rpcContext.respond(nwk, const_cast<unsigned char*>(node->get_ieee_addr()), &desc,
                             c.rpcContext.getSessionId(), &st);
    } else {
        c.rpcContext.respond(nwk, nullptr, nullptr, c.rpcContext.getSessionId(), &st);
    }
}

void DiscoveryCore::superDiscovery_Cb(unsigned char status, unsigned char* ieee, unsigned short nwk,
                                      unsigned char count, unsigned char, unsigned short* list) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (!superOp.isRunning() || !takePending(superPendingIeee, nwk)) {
        return;
    }
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    superOp.received();
    Node* reporter = pOrqDb->findNodeByNwkAddr(nwk);
    if (status != 0 || ieee == nullptr || reporter == nullptr) {
        // A node removed meanwhile counts as a failed answer; the walk goes on.
        superOp.fail();
        superWalk.markIncomplete();
    } else {
        pOrqDb->setIeeeAddr(reporter, ieee);
        int asked = 0;
        for (int i = 0; i < count && list != nullptr; ++i) {
            if (!adoptChild(superWalk, reporter, ieee, list[i], "superDiscovery_Cb")) {
                superOp.fail();
                continue;
            }
            requestAllOf(list[i]);
            ++asked;
        }
        if (asked > 0) {
            superOp.rearm(superDeadline.add(3 * asked), &timerThread, this,
                          &DiscoveryCore::onSuperDiscovery);
        }
    }
    if (superOp.nothingExpected()) {
        ORQ_LOG(*pLogger, INFO,
                "superDiscovery_Cb - numExpectedMsgs = 0  (superDiscovery completed in "
                "superDiscovery_Cb) -> WARNING");
        completeSuper();
    }
}

void DiscoveryCore::superDiscovery_ND_Cb(unsigned char status, unsigned short nwk,
                                         ZB_NODE_DESC* nd) {
    superDescriptorConfirm(superPendingNodeDesc, status, nwk, nd, "superDiscovery_ND_Cb",
                           "ZDO_NODE_DESC_confirm", "node desc", &DiscoveryCore::decodeNode);
}

void DiscoveryCore::superDiscovery_PD_Cb(unsigned char status, unsigned short nwk,
                                         ZB_POWER_DESC* pd) {
    superDescriptorConfirm(superPendingPowerDesc, status, nwk, pd, "superDiscovery_PD_Cb",
                           "ZDO_POWER_DESC_confirm", "power desc", &DiscoveryCore::decodePower);
}

bool DiscoveryCore::adoptChild(WalkRecord& walk, Node* reporter, const unsigned char* reporterIeee,
                               unsigned short child, const char* op) {
    if (!walk.reach(child)) {
        ORQ_LOG(*pLogger, WARN, "%s - ATTENTION: node already discovered!", op);
        return false;
    }
    Node* n = pOrqDb->findNodeByNwkAddr(child);
    const bool placeholder = n == nullptr;
    if (placeholder) {
        n = new Node(child);
    }
    pOrqDb->addNeighbor(reporter, n);
    if (placeholder) {
        pOrqDb->setReceiverOnWhenIdle(n, true);
    }
    pOrqDb->addTranslationEntry(reporter->get_nwk_addr(), reporterIeee);
    return true;
}

void DiscoveryCore::learnNeighbour(Node* reporter, const ZB_NEIGHBOR_TABLE_LIST& e) {
    const bool rxOn = (e.devTypeRxOnRelation & 0x04) != 0;
    Node* nb = pOrqDb->findNodeByNwkAddr(e.NetworkAddress);
    if (nb != nullptr) {
        if (nb == pOrqDb->getRoot()) {
            return;  // the root's own flags come from the module
        }
        pOrqDb->setReceiverOnWhenIdle(nb, rxOn);
        if (std::memcmp(nb->get_ieee_addr(), e.ExtendedAddress, 8) != 0) {
            const unsigned char* s = nb->get_ieee_addr();
            const unsigned char* r = e.ExtendedAddress;
            ORQ_LOG(*pLogger, WARN,
                    "Mgmt_LQI_Cb - ERROR: Found a node (0x%04x) with a wrong IEEEAddress "
                    "(%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x instead of the stored "
                    "%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x)! Send ZDO_IEEE_ADDR_request!\n",
                    e.NetworkAddress, r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], s[0], s[1],
                    s[2], s[3], s[4], s[5], s[6], s[7]);
            requestAddress(e.NetworkAddress);
        }
        return;
    }
    if (pOrqDb->findNodeByIEEEAddr(e.ExtendedAddress) != nullptr) {
        // Known under another short address (it rejoined): its own announcement or an
        // address confirm moves it; a second entry would duplicate it.
        requestAddress(e.NetworkAddress);
        return;
    }
    nb = new Node(e.NetworkAddress);
    pOrqDb->addNeighbor(reporter, nb);
    pOrqDb->setIeeeAddr(nb, e.ExtendedAddress);
    pOrqDb->setReceiverOnWhenIdle(nb, rxOn);
    const unsigned char* a = e.ExtendedAddress;
    ORQ_LOG(*pLogger, INFO,
            "Mgmt_LQI_Cb - Created a new entry for neighbor 0x%04x - "
            "%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x, cap 0x%02x",
            e.NetworkAddress, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7],
            e.devTypeRxOnRelation);
    if ((e.devTypeRxOnRelation & 0x03) == 2 && !rxOn) {
        ORQ_LOG(*pLogger, INFO, "Mgmt_LQI_Cb - Sleepy End Device, announce it now!");
        reporter->setKANodeTimer(static_cast<long>(std::time(nullptr)));
        unsigned char ieee[8];
        std::memcpy(ieee, e.ExtendedAddress, 8);
        Announce_Cb(e.NetworkAddress, ieee, 8);
    } else {
        ORQ_LOG(*pLogger, DEBUG, "Mgmt_LQI_Cb - No sleepy node, announce it later");
        pOrqDb->setActive(nb, false);
    }
}

void DiscoveryCore::decodeNode(const ZB_NODE_DESC& nd, Node* node, const char* op) {
    int badType = -1;
    int badFreq = -1;
    NodeDescriptor desc = node->node_desc;
    decodeNodeDescriptor(nd, &desc, &badType, &badFreq);
    pOrqDb->setNodeDescriptor(node, desc);
    if (badType >= 0) {
        ORQ_LOG(*pLogger, WARN, "%s - logicaltype unknown %d", op, badType);
    }
    if (badFreq >= 0) {
        ORQ_LOG(*pLogger, WARN, "%s - frequency unknown %d", op, badFreq);
    }
}

void DiscoveryCore::decodePower(const ZB_POWER_DESC& pd, Node* node, const char* op) {
    int badMode = -1;
    int badLevel = -1;
    PowerDescriptor desc = node->power_desc;
    decodePowerDescriptor(pd, &desc, &badMode, &badLevel);
    pOrqDb->setPowerDescriptor(node, desc);
    if (badMode >= 0) {
        ORQ_LOG(*pLogger, WARN, "%s - Currentpowermode unknown %d", op, badMode);
    }
    if (badLevel >= 0) {
        ORQ_LOG(*pLogger, WARN, "%s - Currentpowersourcelevel unknown %d", op, badLevel);
    }
}

// A node or power descriptor confirm of the combined discovery.
template <typename Desc>
void DiscoveryCore::superDescriptorConfirm(Pending& pending, unsigned char status,
                                           unsigned short nwk, Desc* desc, const char* op,
                                           const char* confirm, const char* what,
                                           void (DiscoveryCore::*decode)(const Desc&, Node*,
                                                                         const char*)) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (!superOp.isRunning() || !takePending(pending, nwk)) {
        return;
    }
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    superOp.received();
    Node* node = pOrqDb->findNodeByNwkAddr(nwk);
    if (status != 0 || desc == nullptr) {
        ORQ_LOG(*pLogger, WARN, "%s - ERROR returned by %s", op, confirm);
        superOp.fail();
    } else if (node == nullptr) {
        ORQ_LOG(*pLogger, WARN,
                "%s - INTERNAL ERROR: arrived a %s confirm for a unexistent node %04X", op, what,
                nwk);
        superOp.fail();
    } else {
        (this->*decode)(*desc, node, op);
    }
    if (superOp.nothingExpected()) {
        ORQ_LOG(*pLogger, INFO, "%s - superDiscovery completed", op);
        completeSuper();
    }
}
