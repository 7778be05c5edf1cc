#include "CServiceAgent.h"

#include <algorithm>
#include <cstring>

#include "Agents.h"

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
