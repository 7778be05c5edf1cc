#include "ServiceCore.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "Agents.h"

// The parts of the service agent that need no agent, then its data message path: sending,
// the receive path from an indication to the connections, the cache and the filtered
// callbacks, and the connections and callbacks themselves.

namespace {
const uint16_t kDiscoveryClusters[] = {
    0x0013, 0x0014, 0x8000, 0x8001, 0x8002, 0x8003, 0x8004, 0x8005, 0x8006, 0x8010, 0x8011,
    0x8014, 0x8015, 0x8016, 0x8017, 0x8018, 0x8019, 0x801A, 0x801B, 0x801C, 0x801D, 0x801E};

bool anyIn(const uint16_t* clusters, int count, const std::list<int>& list) {
    for (int i = 0; i < count; ++i) {
        if (std::find(list.begin(), list.end(), clusters[i]) != list.end()) {
            return true;
        }
    }
    return false;
}

// A connection or callback operation's one answer; returns `error`.
template <typename Path>
int answer(const Path* ctx, int id, int session, fState_t state, AgentError error) {
    RPCReqStatus st(state, error == AGENT_SUCCESS ? 0 : 1, error);
    if (ctx != nullptr) {
        ctx->respond(id, session, &st);
    }
    return error;
}
}  // namespace

bool isDiscoveryCluster(uint16_t cluster) {
    return std::find(std::begin(kDiscoveryClusters), std::end(kDiscoveryClusters), cluster) !=
           std::end(kDiscoveryClusters);
}

bool callbackMatches(const Callback& cb, const Message& msg) {
    const MessageSpecification& ms = cb.filter.messageSpec;
    if (ms.isAPSClusterGroupDefined) {
        const bool fromZdo = msg.getSrcEp() == 0;
        if (ms.APSClusterGroup == "ZDP" && !fromZdo) {
            return false;
        }
        if (ms.APSClusterGroup == "ZCL" && fromZdo) {
            return false;
        }
        if (ms.APSClusterGroup == "Discovery" &&
            (!fromZdo || !isDiscoveryCluster(msg.getClusterId()))) {
            return false;
        }
    }
    const AddressSpecification& as = cb.filter.addressSpec;
    if (as.isDefined && as.isNWKSourceAddressDefined && as.NWKSourceAddress != 0xFFFF &&
        as.NWKSourceAddress != msg.getSrcNwkAddr()) {
        return false;
    }
    return true;
}

std::vector<int> matchDescriptorEndpoints(const std::vector<const SimpleDescriptor*>& services,
                                          uint16_t profile, const uint16_t* inClusters, int inCount,
                                          const uint16_t* outClusters, int outCount) {
    std::vector<int> matches;
    if (inCount <= 0 && outCount <= 0) {
        return matches;
    }
    for (const SimpleDescriptor* sd : services) {
        if (sd == nullptr || sd->end_point < 1 || sd->end_point > MAX_LOCAL_ENDPOINT ||
            sd->profile_id != profile) {
            continue;
        }
        if (anyIn(inClusters, inCount, sd->input_cluster) ||
            anyIn(outClusters, outCount, sd->output_cluster)) {
            matches.push_back(sd->end_point);
        }
    }
    std::sort(matches.begin(), matches.end());
    return matches;
}

bool MessageCache::store(int serviceId, std::unique_ptr<Message> msg) {
    std::lock_guard<std::mutex> lock(msgCacheMux);
    auto& list = msgCache[serviceId];
    list.push_back(std::move(msg));
    if (list.size() <= capacity) {
        return false;
    }
    list.pop_front();
    return true;
}

std::unique_ptr<Message> MessageCache::takeOldest(int serviceId, size_t* remaining) {
    std::lock_guard<std::mutex> lock(msgCacheMux);
    std::unique_ptr<Message> oldest;
    auto it = msgCache.find(serviceId);
    if (it != msgCache.end() && !it->second.empty()) {
        oldest = std::move(it->second.front());
        it->second.pop_front();
    }
    if (remaining != nullptr) {
        *remaining = it == msgCache.end() ? 0 : it->second.size();
    }
    return oldest;
}

size_t MessageCache::size(int serviceId) {
    std::lock_guard<std::mutex> lock(msgCacheMux);
    auto it = msgCache.find(serviceId);
    return it == msgCache.end() ? 0 : it->second.size();
}

void MessageCache::clear() {
    std::lock_guard<std::mutex> lock(msgCacheMux);
    msgCache.clear();
}

std::unique_ptr<Message> buildRecord(const ReceivedFrame& f) {
    auto msg = std::make_unique<Message>();
    msg->setDstAddrMode(f.dstAddrMode);
    if (f.dstAddrMode <= Message::ADDR_MODE_IEEE) {
        msg->setDstAddr(f.dstAddr);
    }
    msg->setDstEp(f.dstEp);
    msg->setSrcAddrMode(f.srcAddrMode);
    if (f.srcAddrMode <= Message::ADDR_MODE_IEEE) {
        msg->setSrcAddr(f.srcAddr);
    }
    msg->setSrcNwkAddr(f.srcNwkAddr);
    msg->setSrcEp(f.srcEp);
    msg->setProfileId(f.profileId);
    msg->setClusterId(f.clusterId);
    msg->setPayload(f.payload.data(), static_cast<uint16_t>(f.payload.size()));
    msg->setMsgId(f.msgId);
    return msg;
}

int resolveDataDestination(const Message& msg, ZbNetDb* db, DataDestination* out) {
    uint16_t length = 0;
    msg.getPayload(&length);
    if (length > kMaxAsduLength) {
        return SENDING_MSG_ERROR;
    }
    int addrLength = 0;
    const uint8_t* addr = msg.getDstAddr(&addrLength);
    const uint8_t mode = msg.getDstAddrMode();
    std::lock_guard<std::recursive_mutex> lock(db->mutex());
    if (mode == Message::ADDR_MODE_NWK && addrLength == 2) {
        out->mode = mode;
        out->nwk = static_cast<uint16_t>((addr[0] << 8) | addr[1]);
        out->addr[0] = addr[1];
        out->addr[1] = addr[0];
        out->known = db->findNodeByNwkAddr(out->nwk) != nullptr;
        return AGENT_SUCCESS;
    }
    if (mode == Message::ADDR_MODE_IEEE && addrLength == 8) {
        Node* node = db->findNodeByIEEEAddr(addr);
        out->known = node != nullptr;
        if (node != nullptr) {
            out->mode = Message::ADDR_MODE_NWK;
            out->nwk = node->get_nwk_addr();
            out->addr[0] = static_cast<uint8_t>(out->nwk & 0xFF);
            out->addr[1] = static_cast<uint8_t>(out->nwk >> 8);
        } else {
            out->mode = mode;
            for (int i = 0; i < 8; ++i) {
                out->addr[i] = addr[7 - i];
            }
        }
        return AGENT_SUCCESS;
    }
    return SENDING_MSG_ERROR;
}

SimpleDescriptor* simpleDescriptorFrom(const ZB_SIMPLE_DESC& sd) {
    auto* out = new SimpleDescriptor();
    out->end_point = sd.ep;
    out->profile_id = sd.app_profile_id;
    out->device_id = sd.app_device_id;
    out->device_ver = sd.app_device_ver & 0x0F;
    for (int i = 0; i < sd.app_in_cluster_count && sd.app_in_cluster_list != nullptr; ++i) {
        out->input_cluster.push_back(sd.app_in_cluster_list[i]);
    }
    for (int i = 0; i < sd.app_out_cluster_count && sd.app_out_cluster_list != nullptr; ++i) {
        out->output_cluster.push_back(sd.app_out_cluster_list[i]);
    }
    return out;
}

int ServiceCore::send(Message* msg, unsigned char& status, unsigned int& txTime) {
    if (calledFromCallback("send")) {
        return AGENT_BUSY;
    }
    if (pOrqZb->getGWStatus() != GW_RUNNING) {
        ORQ_LOG(*pLogger, ERROR, "send - Error ORQ_NOT_RUNNING");
        return ORQ_NOT_RUNNING;
    }
    if (msg == nullptr) {
        ORQ_LOG(*pLogger, ERROR, "send - Message is null");
        return SENDING_MSG_ERROR;
    }
    AgentLock lock(*this);
    DataDestination d;
    if (resolveDataDestination(*msg, pOrqDb, &d) != AGENT_SUCCESS) {
        uint16_t length = 0;
        msg->getPayload(&length);
        ORQ_LOG(*pLogger, ERROR,
                "send - not sent: destination mode %d, payload of %d bytes (at most %d)",
                msg->getDstAddrMode(), length, kMaxAsduLength);
        return SENDING_MSG_ERROR;
    }
    uint16_t length = 0;
    uint8_t* payload = msg->getPayload(&length);
    status = 0;
    txTime = static_cast<unsigned int>(std::time(nullptr));
    pOrqZb->APSDE_DATA_request(
        d.mode, d.addr, msg->getDstEp(), msg->getProfileId(), msg->getClusterId(), msg->getSrcEp(),
        static_cast<unsigned char>(length), payload, msg->getTxSettings(), msg->getMaxHopsNumber());
    if (!d.known && autoDiscoveryUnknownNodeFeature != 0) {
        if (msg->getDstAddrMode() == Message::ADDR_MODE_NWK) {
            ORQ_LOG(*pLogger, INFO, "send - Node 0x%04x not recognized by ORQ, ping this node!",
                    d.nwk);
            pingUnknownNode(d.nwk);
        } else {
            ORQ_LOG(*pLogger, INFO,
                    "send - autoDiscoveryUnknownNodes cannot work (ShortAddr unknown for "
                    "0x%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x)",
                    d.addr[7], d.addr[6], d.addr[5], d.addr[4], d.addr[3], d.addr[2], d.addr[1],
                    d.addr[0]);
        }
    }
    return AGENT_SUCCESS;
}

void ServiceCore::messageReceived_Cb(const ZbDataIndication& ind) {
    AgentLock lock(*this);
    if (ind.dstEp != BROADCAST_ENDPOINT && servicesTable.count(ind.dstEp) == 0) {
        ORQ_LOG(*pLogger, WARN,
                "messageReceived_Cb - WARNING: No active service for the received message");
        return;
    }
    ReceivedFrame f;
    if (!identifySender(ind.srcAddrMode, ind.srcAddr, ind.profileId, ind.clusterId, f)) {
        return;
    }
    f.dstAddrMode = ind.dstAddrMode;
    if (ind.dstAddr != nullptr && ind.dstAddrMode == Message::ADDR_MODE_NWK) {
        f.dstAddr[0] = ind.dstAddr[1];
        f.dstAddr[1] = ind.dstAddr[0];
    } else if (ind.dstAddr != nullptr && ind.dstAddrMode == Message::ADDR_MODE_IEEE) {
        std::memcpy(f.dstAddr, ind.dstAddr, 8);
    }
    f.dstEp = ind.dstEp;
    f.srcEp = ind.srcEp;
    f.profileId = ind.profileId;
    f.clusterId = ind.clusterId;
    if (ind.payload != nullptr) {
        f.payload.assign(ind.payload, ind.payload + ind.payloadLength);
    }
    f.msgId = msgIdCounter;
    if (receivedTap) {
        receivedTap(*buildRecord(f));
    }
    if (ind.dstEp == BROADCAST_ENDPOINT) {
        deliverBroadcast(f);
    } else if (!deliverAddressed(f)) {
        return;
    }
    if (msgIdCounter >= 0x7fffffff - 1) {
        ORQ_LOG(*pLogger, DEBUG, "messageReceived_Cb - msgIdCounter set to 0");
        msgIdCounter = 0;
    } else {
        ++msgIdCounter;
    }
}

int ServiceCore::getLastRxMsg(int serviceId, const LastRxMsgPath* ctx) {
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    size_t remaining = 0;
    std::unique_ptr<Message> oldest = msgCache.takeOldest(serviceId, &remaining);
    if (!oldest) {
        ORQ_LOG(*pLogger, INFO, "getLastRxMsg - Service Id = %d cache empty", serviceId);
        RPCReqStatus st(End, 1, MSG_CACHE_EMPTY);
        if (ctx != nullptr) {
            ctx->respond(static_cast<Message*>(nullptr), session, &st);
        }
        return MSG_CACHE_EMPTY;
    }
    RPCReqStatus st(End, 0, AGENT_SUCCESS);
    if (ctx != nullptr) {
        ctx->respond(oldest.get(), session, &st);
    }
    ORQ_LOG(*pLogger, DEBUG, "getLastRxMsg - removed the oldest msg (cache size = %d)",
            static_cast<int>(remaining));
    return AGENT_SUCCESS;
}

void ServiceCore::storeMsg(std::unique_ptr<Message> msg, int serviceId) {
    if (msgCache.store(serviceId, std::move(msg))) {
        ORQ_LOG(*pLogger, DEBUG, "storeMsg - Replacing oldest element");
    }
}

int ServiceCore::createCallback(int endpoint, const CallbackPath* ctx) {
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    if (calledFromCallback("createCallback")) {
        return answer(ctx, endpoint, session, NotAvailable, AGENT_BUSY);
    }
    AgentLock lock(*this);
    if (endpoint == ALL_ENDPOINTS && servicesTable.count(ALL_ENDPOINTS) == 0) {
        ORQ_LOG(*pLogger, DEBUG, "createCallback - create entry ALL_ENDPOINTS");
        servicesTable[ALL_ENDPOINTS];
    }
    auto it = servicesTable.find(endpoint);
    if (it == servicesTable.end()) {
        ORQ_LOG(*pLogger, WARN, "createCallback - ERROR - Endpoint not registered");
        return answer(ctx, endpoint, session, End, ENDPOINT_NOT_REGISTERED);
    }
    auto& l = it->second.listener;
    if (!l.lock()) {
        ORQ_LOG(*pLogger, INFO,
                "createCallback - EndPoint %d - connection previously created -> overwrite!",
                endpoint);
    }
    l.rpcContext = ctx != nullptr ? *ctx : CallbackPath();
    registerDataListener();
    return answer(ctx, endpoint, session, End, AGENT_SUCCESS);
}

int ServiceCore::createCallback(Callback* cb, const CallbackPath* ctx) {
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    if (cb == nullptr) {
        return answer(ctx, 0, session, End, AGENT_ERROR);
    }
    const AddressSpecification& as = cb->filter.addressSpec;
    const int target = as.isDefined && as.isAPSDestinationEndpointDefined
                           ? as.APSDestinationEndpoint
                           : ALL_ENDPOINTS;
    if (calledFromCallback("createCallback")) {
        return answer(ctx, target, session, NotAvailable, AGENT_BUSY);
    }
    AgentLock lock(*this);
    if (target == ALL_ENDPOINTS && servicesTable.count(ALL_ENDPOINTS) == 0) {
        servicesTable[ALL_ENDPOINTS];
    }
    auto it = servicesTable.find(target);
    if (it == servicesTable.end()) {
        ORQ_LOG(*pLogger, WARN, "createCallback - ERROR Endpoint not registered");
        return answer(ctx, target, session, End, ENDPOINT_NOT_REGISTERED);
    }
    serviceEntry& e = it->second;
    if (!e.customizedCallbackslistener.lock()) {
        ORQ_LOG(*pLogger, DEBUG,
                "createCallback - customized callbacks already defined for endpoint %d", target);
    }
    e.customizedCallbacks.push_back(*cb);
    e.customizedCallbackslistener.rpcContext = ctx != nullptr ? *ctx : CallbackPath();
    registerDataListener();
    return answer(ctx, target, session, End, AGENT_SUCCESS);
}

int ServiceCore::deleteCallback(int endpoint, const CallbackDeletePath* ctx) {
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    if (calledFromCallback("deleteCallback")) {
        return answer(ctx, endpoint, session, NotAvailable, AGENT_BUSY);
    }
    AgentLock lock(*this);
    auto it = servicesTable.find(endpoint);
    if (it == servicesTable.end()) {
        return answer(ctx, endpoint, session, End, ENDPOINT_NOT_REGISTERED);
    }
    if (!it->second.listener.unlock(Idle)) {
        ORQ_LOG(*pLogger, WARN,
                "deleteCallback - EndPoint %d - no listener previously registered on this "
                "specific EndPoint (WARNING)",
                endpoint);
        return answer(ctx, endpoint, session, End, NO_ACTIVE_WSN_CONNECTIONS);
    }
    it->second.listener.rpcContext = CallbackPath();
    return answer(ctx, endpoint, session, End, AGENT_SUCCESS);
}

int ServiceCore::deleteCustomizedCallback(int internalId, const CallbackDeletePath* ctx) {
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    if (calledFromCallback("deleteCustomizedCallback")) {
        return answer(ctx, internalId, session, NotAvailable, AGENT_BUSY);
    }
    AgentLock lock(*this);
    for (auto& entry : servicesTable) {
        serviceEntry& e = entry.second;
        if (entry.first < 1 || !e.customizedCallbackslistener.isLocked()) {
            continue;
        }
        for (auto cb = e.customizedCallbacks.begin(); cb != e.customizedCallbacks.end(); ++cb) {
            if (cb->internalId != internalId) {
                continue;
            }
            e.customizedCallbacks.erase(cb);
            if (e.customizedCallbacks.empty()) {
                e.customizedCallbackslistener.unlock(End);
            }
            return answer(ctx, entry.first, session, End, AGENT_SUCCESS);
        }
    }
    answer(ctx, internalId, session, End, NO_CUSTOMIZED_FILTER_FOUND);
    return 1;
}

void ServiceCore::messageFilter(Message* msg, int serviceId) {
    auto it = servicesTable.find(serviceId);
    if (it == servicesTable.end()) {
        return;
    }
    serviceEntry& e = it->second;
    for (const Callback& cb : e.customizedCallbacks) {
        if (callbackMatches(cb, *msg)) {
            RPCReqStatus st(Running, 0, AGENT_SUCCESS);
            e.customizedCallbackslistener.rpcContext.notify(cb.internalId, msg, &st);
        }
    }
}

void ServiceCore::setReceivedTap(std::function<void(const Message&)> tap) {
    AgentLock lock(*this);
    receivedTap = std::move(tap);
    registerDataListener();
}

void ServiceCore::registerDataListener() {
    if (dataListenerRegistered == 0) {
        pOrqZb->registerListener(ZB_EV_APSDE_DATA_INDICATION, &dataListener);
        dataListenerRegistered = 1;
    }
}

void ServiceCore::pingUnknownNode(unsigned short nwk) {
    {
        std::lock_guard<std::mutex> lock(pingMux);
        if (!pendingPings.insert(nwk).second) {
            return;
        }
    }
    paced.post([this, nwk] {
        {
            std::lock_guard<std::mutex> lock(pingMux);
            pendingPings.erase(nwk);
        }
        pOrqZb->ZDO_IEEE_ADDR_request(nwk, 1, 0);
        return true;
    });
}

// The sender of a received message, looked up in the database by its network or IEEE
// address: fills the source of `f` with the node's addresses (copied under the database's
// lock); false when the message is to be discarded: an unknown sender, pinged when
// main:autoDiscoveryUnknownNodes is on and it gave its network address, unless the message is
// a device announcement or a leave answer.
bool ServiceCore::identifySender(unsigned char mode, const unsigned char* src,
                                 unsigned short profile, unsigned short cluster, ReceivedFrame& f) {
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    Node* node = nullptr;
    unsigned short nwk = 0xFFFF;
    if (src != nullptr && mode == Message::ADDR_MODE_NWK) {
        nwk = static_cast<unsigned short>(src[0] | (src[1] << 8));
        node = pOrqDb->findNodeByNwkAddr(nwk);
        if (node != nullptr) {
            std::memcpy(f.srcAddr, node->get_ieee_addr(), 8);
        }
    } else if (src != nullptr && mode == Message::ADDR_MODE_IEEE) {
        node = pOrqDb->findNodeByIEEEAddr(src);
        std::memcpy(f.srcAddr, src, 8);
    }
    if (node == nullptr) {
        if (mode == Message::ADDR_MODE_NWK && src != nullptr) {
            const bool exempt = profile == 0 && (cluster == 0x0013 || cluster == 0x8034);
            if (autoDiscoveryUnknownNodeFeature != 0 && !exempt) {
                ORQ_LOG(*pLogger, INFO,
                        "messageReceived_Cb - Ping the unknown node 0x%04x (Message "
                        "discarded)",
                        nwk);
                pingUnknownNode(nwk);
            } else {
                ORQ_LOG(*pLogger, INFO,
                        "messageReceived_Cb - Node 0x%04x unknown (autoDiscovery disabled) - "
                        "DISCARDED!",
                        nwk);
            }
        } else if (mode == Message::ADDR_MODE_IEEE && src != nullptr) {
            ORQ_LOG(*pLogger, INFO,
                    "messageReceived_Cb - Node %02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x "
                    "unknown - DISCARDED!",
                    src[0], src[1], src[2], src[3], src[4], src[5], src[6], src[7]);
        } else {
            ORQ_LOG(*pLogger, INFO, "messageReceived_Cb - sender unknown (mode %d) - DISCARDED!",
                    mode);
        }
        return false;
    }
    f.srcAddrMode = Message::ADDR_MODE_IEEE;
    f.srcNwkAddr = node->get_nwk_addr();
    if (!node->getIsActive() && node != pOrqDb->getRoot()) {
        ORQ_LOG(*pLogger, DEBUG,
                "messageReceived_Cb - Push this node to announce through a MGMT_LQI");
        node->setKANodeTimer(node->getKANodeTimer() - 2000);
    }
    return true;
}

ServiceCore::serviceEntry* ServiceCore::entry(int ep) {
    auto it = servicesTable.find(ep);
    return it == servicesTable.end() ? nullptr : &it->second;
}
void ServiceCore::notifyConnection(serviceEntry* e, int ep, Message* msg) {
    RPCReqStatus st(Running, 0, AGENT_SUCCESS);
    e->listener.rpcContext.notify(ep, msg, &st);
}

// Broadcast end point: every connected end point 1..240 in ascending order, then
// ALL_ENDPOINTS; nothing is cached.
void ServiceCore::deliverBroadcast(const ReceivedFrame& f) {
    ORQ_LOG(*pLogger, DEBUG, "messageReceived_Cb - Message received on BROADCAST_ENDPOINT");
    std::unique_ptr<Message> rec = buildRecord(f);
    for (auto& it : servicesTable) {
        if (it.first < 1 || it.first > MAX_LOCAL_ENDPOINT) {
            continue;
        }
        if (hasConnection(&it.second)) {
            notifyConnection(&it.second, it.first, rec.get());
        }
        if (hasCallbacks(&it.second)) {
            messageFilter(rec.get(), it.first);
        }
    }
    serviceEntry* all = entry(ALL_ENDPOINTS);
    if (hasConnection(all)) {
        notifyConnection(all, BROADCAST_ENDPOINT, buildRecord(f).get());
    }
    if (hasCallbacks(all)) {
        messageFilter(buildRecord(f).get(), ALL_ENDPOINTS);
    }
}

// An addressed end point: its connection and callbacks, then ALL_ENDPOINTS. A record is
// cached only after its notifications, so a concurrent read of the cache never frees a
// record still being notified. False when nobody wanted the message.
bool ServiceCore::deliverAddressed(const ReceivedFrame& f) {
    serviceEntry* e = entry(f.dstEp);
    serviceEntry* all = entry(ALL_ENDPOINTS);
    const bool epWants = hasConnection(e) || hasCallbacks(e);
    if (!epWants && !hasConnection(all) && !hasCallbacks(all)) {
        if (f.dstEp != 0) {
            ORQ_LOG(*pLogger, DEBUG,
                    "messageReceived_Cb - No specified connection for end point %d", f.dstEp);
            return false;
        }
        ORQ_LOG(*pLogger, DEBUG, "messageReceived_Cb - End point 0 not managed here");
    }
    if (epWants) {
        std::unique_ptr<Message> rec = buildRecord(f);
        if (hasConnection(e)) {
            notifyConnection(e, f.dstEp, rec.get());
        }
        if (hasCallbacks(e)) {
            messageFilter(rec.get(), f.dstEp);
        }
        storeMsg(std::move(rec), f.dstEp);
    }
    if (hasConnection(all)) {
        std::unique_ptr<Message> rec = buildRecord(f);
        notifyConnection(all, f.dstEp, rec.get());
        storeMsg(std::move(rec), ALL_ENDPOINTS);
    }
    if (hasCallbacks(all)) {
        messageFilter(buildRecord(f).get(), ALL_ENDPOINTS);
    }
    return true;
}
