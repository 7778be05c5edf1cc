#include "KeepAlive.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "CDebug.h"
#include "GWManagement.h"
#include "OrqZbIf.h"
#include "ZbNetDb.h"

int pingJitterSeconds(unsigned short nwk, int threshold) {
    const int window = threshold / 4;
    if (window <= 0) {
        return 0;
    }
    // A multiplicative hash spreads neighbouring addresses over the whole window.
    const unsigned int h = static_cast<unsigned int>(nwk) * 2654435761u;
    return static_cast<int>((h >> 16) % static_cast<unsigned int>(window + 1));
}

KeepAlive::KeepAlive(OrqZbIf* adapter, std::recursive_mutex& mux, Debug& log, Hooks hooks,
                     Clock clock)
    : adapter(adapter),
      db(adapter->getDb()),
      mux(mux),
      log(log),
      hooks(std::move(hooks)),
      clock(std::move(clock)) {}

KeepAlive::~KeepAlive() {
    stop();
}

void KeepAlive::configure(const Settings& s) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    settings = s;
    threshold = s.threshold;
}

void KeepAlive::runKeepAliveAlgorithm() {
    std::lock_guard<std::mutex> lock(taskMux);
    if (taskStarted || stopping) {
        return;
    }
    taskStarted = true;
    tid = std::thread([this] { startKATask_SW(); });
}

void KeepAlive::stop() {
    {
        std::lock_guard<std::mutex> lock(taskMux);
        stopping = true;
    }
    taskCv.notify_all();
    if (tid.joinable()) {
        tid.join();
    }
}

void KeepAlive::setKeepAliveTimings(const Timings& t) {
    std::lock_guard<std::mutex> lock(taskMux);
    kaTimings = t;
}

void KeepAlive::setKAthreshold(int seconds) {
    ORQ_LOG(log, INFO, "setKAthreshold - Storing the KeepAliveThreshold value: %x (sec)", seconds);
    if (seconds >= 0) {
        threshold = seconds;
    }
    taskCv.notify_all();
}

long KeepAlive::now() const {
    return clock ? clock() : static_cast<long>(std::time(nullptr));
}

std::vector<unsigned short> KeepAlive::takeDuePings() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    std::vector<unsigned short> out;
    out.swap(duePings);
    return out;
}

void KeepAlive::keepAliveAlgorithm(Node* node) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    std::lock_guard<std::recursive_mutex> dbLock(db->mutex());
    const long t = now();
    const int limit = threshold;
    const unsigned short nwk = node->get_nwk_addr();
    long stamp = node->getKANodeTimer();
    if (stamp == KA_UNKNOWN_TO_NETWORK) {
        hooks.nodeDead(node);
        return;
    }
    if (!node->node_desc.receiveronwhenidle) {
        if (node->getIsActive() && nwk != 0) {
            if (settings.debugEnabled) {
                std::printf("keepAliveAlgorithm - Node 0x%04x SLEEPY_DEVICE\n", nwk);
            }
            removeFromDeadList(node);
        } else if (!node->getIsActive()) {
            ORQ_LOG(log, INFO, "\n\nNEW PART - ANNOUNCE THE SLEEPY NODE!!!\n\n");
            node->setKANodeTimer(t);
            unsigned char ieee[8];
            std::memcpy(ieee, node->get_ieee_addr(), 8);
            hooks.announceSleepy(nwk, ieee);
        }
        return;
    }
    if (!node->getIsActive() && stamp != 0) {
        ORQ_LOG(log, DEBUG, "keepAliveAlgorithm - Set 0x%04x node in \"pinging\" mode", nwk);
        stamp = limit - 1;
        node->setKANodeTimer(stamp);
    }
    if (stamp == KA_NO_TIMESTAMP) {
        node->setKANodeTimer(t);
        ORQ_LOG(log, DEBUG, "keepAliveAlgorithm - Found node 0x%04x without timestamp, send a ping",
                nwk);
        duePings.push_back(nwk);
        return;
    }
    if (stamp != KA_BEING_PINGED) {
        if (t - stamp > limit + pingJitterSeconds(nwk, limit)) {
            insertNodeIntoDeadingNodeList(node->get_ieee_addr(), t);
            node->setKANodeTimer(KA_BEING_PINGED);
            node->setnumOfPingsDone(1);
            ORQ_LOG(log, INFO, "keepAliveAlgorithm - Sending first ping to 0x%04x", nwk);
            duePings.push_back(nwk);
        } else if (t - stamp <= limit && node->getIsActive()) {
            if (settings.debugEnabled) {
                std::printf("keepAliveAlgorithm - Node 0x%04x OK (%d sec)\n", nwk,
                            static_cast<int>(t - stamp));
            }
            removeFromDeadList(node);
        }
        return;
    }
    ORQ_LOG(log, DEBUG, "keepAliveAlgorithm - Node 0x%04x is in deadList (NumOfNodes: %d)", nwk,
            static_cast<int>(deadingNodeList.size()));
    const int index = searchNodeFromDeadingNodeList(node);
    if (index < 0 || index >= static_cast<int>(deadingNodeList.size())) {
        ORQ_LOG(log, DEBUG,
                "keepAliveAlgorithm - Node 0x%04x not found in deadingNodeList, refreshing "
                "its values!",
                nwk);
        node->setKANodeTimer(limit - 2);
    } else if (node->getnumOfPingsDone() < settings.numOfPings) {
        node->setnumOfPingsDone(node->getnumOfPingsDone() + 1);
        ORQ_LOG(log, INFO, "keepAliveAlgorithm - SENDING a ping to 0x%04x (%0x times)", nwk,
                node->getnumOfPingsDone());
        duePings.push_back(nwk);
    } else {
        std::printf("++++++\nNODE 0x%04x IS NOT REACHABLE ANYMORE!\n++++++\n", nwk);
        hooks.nodeDead(node);
        removeNodeFromDeadingNodeList(index);
    }
}

void KeepAlive::forcePingAlgorithm(Node* node) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    std::lock_guard<std::recursive_mutex> dbLock(db->mutex());
    if (settings.forcePingTimeout == 0) {
        return;
    }
    const long t = now();
    const unsigned short nwk = node->get_nwk_addr();
    if (node->getForcePingTimer() == 0) {
        node->setForcePingTimer(t);
        return;
    }
    if (!node->getIsActive() || node->getForcePingTimer() + settings.forcePingTimeout > t) {
        return;
    }
    if (!node->node_desc.receiveronwhenidle) {
        ORQ_LOG(log, DEBUG, "forcePingAlgorithm - Node 0x%04x is sleepyEndDevice (skipped)", nwk);
    } else {
        ORQ_LOG(log, INFO, "forcePingAlgorithm - Node 0x%04x needs to be ping (forced ping)!", nwk);
        db->setActive(node, false);
        db->removeOldLQIInformation(node, nullptr, 0);
        duePings.push_back(nwk);
    }
    node->setForcePingTimer(t);
}

void KeepAlive::insertNodeIntoDeadingNodeList(const unsigned char* ieee, long time) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    for (const deadingNode& d : deadingNodeList) {
        if (std::memcmp(d.ieee_addr, ieee, 8) == 0) {
            ORQ_LOG(log, WARN,
                    "insertNodeIntoDeadingNodeList - WARNING: Node already present in "
                    "deadingNodeList");
            return;
        }
    }
    deadingNode d{};
    std::memcpy(d.ieee_addr, ieee, 8);
    d.expiredTime = time;
    deadingNodeList.push_back(d);
    ORQ_LOG(log, DEBUG, "insertNodeIntoDeadingNodeList - List updated (counter: %02x)",
            static_cast<int>(deadingNodeList.size()));
    for (size_t i = 0; i < deadingNodeList.size(); ++i) {
        const unsigned char* a = deadingNodeList[i].ieee_addr;
        ORQ_LOG(log, DEBUG, "Pos %d - IEEE: %02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x",
                static_cast<int>(i), a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
    }
}

void KeepAlive::removeNodeFromDeadingNodeList(int index) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (index >= 0 && index < static_cast<int>(deadingNodeList.size())) {
        deadingNodeList.erase(deadingNodeList.begin() + index);
    }
}

int KeepAlive::searchNodeFromDeadingNodeList(const Node* node) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    if (deadingNodeList.empty()) {
        return -1;
    }
    for (size_t i = 0; i < deadingNodeList.size(); ++i) {
        if (std::memcmp(deadingNodeList[i].ieee_addr, node->get_ieee_addr(), 8) == 0) {
            return static_cast<int>(i);
        }
    }
    return static_cast<int>(deadingNodeList.size());
}

void KeepAlive::clearDeadingNodeList() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    ORQ_LOG(log, DEBUG, "clearDeadingNodeList (length %d)",
            static_cast<int>(deadingNodeList.size()));
    deadingNodeList.clear();
}

bool KeepAlive::isInDeadingNodeList(unsigned short nwk) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    std::lock_guard<std::recursive_mutex> dbLock(db->mutex());
    Node* node = db->findNodeByNwkAddr(nwk);
    if (node == nullptr) {
        return false;
    }
    const int i = searchNodeFromDeadingNodeList(node);
    return i >= 0 && i < static_cast<int>(deadingNodeList.size());
}

int KeepAlive::getDeadingNodeListCounter() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    return static_cast<int>(deadingNodeList.size());
}

void KeepAlive::removeFromDeadList(const Node* node) {
    const int index = searchNodeFromDeadingNodeList(node);
    if (index >= 0 && index < static_cast<int>(deadingNodeList.size())) {
        removeNodeFromDeadingNodeList(index);
    }
}

bool KeepAlive::pause(std::chrono::milliseconds d) {
    std::unique_lock<std::mutex> lock(taskMux);
    return !taskCv.wait_for(lock, d, [this] { return stopping; });
}

KeepAlive::Timings KeepAlive::timings() {
    std::lock_guard<std::mutex> lock(taskMux);
    return kaTimings;
}

std::chrono::milliseconds KeepAlive::pacingNow() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    return settings.pacing;
}

unsigned short KeepAlive::rootAddress() {
    std::lock_guard<std::recursive_mutex> dbLock(db->mutex());
    Node* root = db->getRoot();
    return root != nullptr ? root->get_nwk_addr() : 0;
}

// Both steps for the node now known under `nwk`, if it is still there (the first may have
// removed it).
void KeepAlive::visitNode(unsigned short nwk) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    std::lock_guard<std::recursive_mutex> dbLock(db->mutex());
    Node* node = db->findNodeByNwkAddr(nwk);
    if (node != nullptr) {
        keepAliveAlgorithm(node);
        node = db->findNodeByNwkAddr(nwk);
        if (node != nullptr) {
            forcePingAlgorithm(node);
        }
    }
}

// The node after `nwk` in the database, round again after the last; the root when the node
// went meanwhile and nothing else is left.
unsigned short KeepAlive::nextNode(unsigned short nwk) {
    std::lock_guard<std::recursive_mutex> dbLock(db->mutex());
    Node* node = db->findNodeByNwkAddr(nwk);
    Node* next = node != nullptr ? db->getNextNode(node) : nullptr;
    if (next == nullptr) {
        next = db->getFirstNode();
    }
    return next != nullptr ? next->get_nwk_addr() : rootAddress();
}

// The task waits for the network (it never ends the process when the root is missing), then
// visits one node at a time until stopped.
void KeepAlive::startKATask_SW() {
    while (db->getDBNodesSize() == 0) {
        if (!pause(timings().poll)) {
            return;
        }
    }
    hooks.starting();
    if (!pause(timings().startDelay)) {
        return;
    }
    bool told = false;
    while (true) {
        {
            std::lock_guard<std::recursive_mutex> dbLock(db->mutex());
            Node* root = db->getRoot();
            if (root != nullptr) {
                root->setKANodeTimer(KA_NO_TIMESTAMP);
                break;
            }
        }
        if (!told) {
            std::printf(
                "startKATask_SW - ERROR: At least one node shall be present to the "
                "dictionary!\n");
            told = true;
        }
        if (!pause(timings().poll)) {
            return;
        }
    }
    std::printf(
        "\n************\nkeepAliveAlgorithm AND forcePingAlgorithm start now!\n"
        "************\n");
    std::fflush(stdout);
    unsigned short current = rootAddress();
    while (true) {
        if (adapter->getGWStatus() != GW_RUNNING || threshold <= 0) {
            current = rootAddress();
            if (!pause(timings().poll)) {
                return;
            }
            continue;
        }
        visitNode(current);
        for (unsigned short nwk : takeDuePings()) {
            hooks.ping(nwk);
            if (!pause(pacingNow())) {
                return;
            }
        }
        if (!pause(timings().visit)) {
            return;
        }
        current = nextNode(current);
    }
}
