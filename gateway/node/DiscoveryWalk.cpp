#include "DiscoveryWalk.h"

#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "CDebug.h"
#include "ZbNetDb.h"

void WalkRecord::begin(ZbNetDb* db, WalkKind k) {
    std::lock_guard<std::recursive_mutex> lock(db->mutex());
    kind = k;
    known.clear();
    reached.clear();
    incomplete = false;
    since = static_cast<long>(std::time(nullptr));
    for (auto& entry : db->getNodeDict()) {
        known[entry.first] = entry.second->getIsActive();
        if (kind == WalkKind::Neighbours) {
            db->setActive(entry.second, false);
        }
    }
}

bool WalkRecord::reach(unsigned short nwk) {
    return reached.insert(nwk).second;
}

void WalkRecord::end(ZbNetDb* db, bool lastAnswer, Debug& log) {
    std::lock_guard<std::recursive_mutex> lock(db->mutex());
    static const unsigned char zeros[8] = {0};
    std::vector<unsigned short> ghosts;
    for (auto& entry : db->getNodeDict()) {
        if (std::memcmp(entry.second->get_ieee_addr(), zeros, 8) == 0) {
            ghosts.push_back(entry.first);
        }
    }
    for (unsigned short nwk : ghosts) {
        const unsigned char* translated = db->translateAddress(nwk);
        if (translated != nullptr) {
            db->setIeeeAddr(db->findNodeByNwkAddr(nwk), translated);
        } else {
            ORQ_LOG(log, INFO, "clearGhostNodes() - Ghost node %04X has been detected.", nwk);
            db->removeNodeByNwkAddr(nwk);
        }
    }
    Node* root = db->getRoot();
    const bool complete =
        lastAnswer && !incomplete && root != nullptr && reached.count(root->get_nwk_addr()) != 0;
    for (const auto& k : known) {
        Node* node = db->findNodeByNwkAddr(k.first);
        if (node == nullptr || node == root || reached.count(k.first) != 0) {
            continue;
        }
        if (kind == WalkKind::Tree && complete && node->getKANodeTimer() < since) {
            ORQ_LOG(log, INFO, "WalkRecord::end - node %04X was not found again: removed", k.first);
            db->removeNodeByNwkAddr(k.first);
        } else if (kind == WalkKind::Neighbours && !complete && k.second) {
            db->setActive(node, true);
        }
    }
    known.clear();
    reached.clear();
}

WalkDeadline::WalkDeadline(std::chrono::milliseconds base, std::chrono::milliseconds per)
    : deadline(std::chrono::steady_clock::now() + base), perRequest(per) {}

int WalkDeadline::add(int n) {
    deadline += perRequest * n;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const long long ms = left.count();
    return ms <= 1000 ? 1 : static_cast<int>((ms + 999) / 1000);
}
