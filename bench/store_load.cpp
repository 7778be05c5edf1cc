// The stored network's size and load time: `store_load [nodes] [dir]` fills a node database
// with fully described nodes (node and power descriptors, two end points with their simple
// descriptors, a neighbour and a full LQI table each), writes them to a file as the gateway
// does, then opens the file, reads it and restores every node into a fresh database as a start
// does. Prints "nodes=<n> bytes=<file and WAL> load_ms=<open, read and restore>".
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "NodeStore.h"
#include "StoredNodeCodec.h"
#include "ZbNetDb.h"

namespace {

void describe(ZbNetDb& db, Node* node, unsigned n) {
    NodeDescriptor nd;
    nd.logicaltype = n % 4 == 0 ? ROUTER : ENDDEVICE;
    nd.frequencyband = F2400_2483D5;
    nd.manufacturecode = 0x1234;
    nd.receiveronwhenidle = n % 4 == 0;
    nd.filled = true;
    db.setNodeDescriptor(node, nd);
    PowerDescriptor pd;
    pd.currentpowermode = SYNCHRONIZED_WITH_RECEIVERONWHENIDLE;
    pd.currentpowersourcelevel = P100;
    pd.filled = true;
    db.setPowerDescriptor(node, pd);
    for (int ep : {1, 2}) {
        db.addEndPoint(node, ep);
        auto* sd = new SimpleDescriptor;
        sd->end_point = ep;
        sd->profile_id = 0x0104;
        sd->device_id = 0x0100;
        sd->input_cluster = {0x0000, 0x0003, 0x0006, 0x0008};
        sd->output_cluster = {0x0019};
        db.addSimpleDescr(node, sd);
    }
    unsigned char ieee[8];
    for (int i = 0; i < MAX_LQI_ENTRIES; ++i) {
        ieeeBytes(0x00124B0000000000ull + n + i + 1, ieee);
        db.updateLQIInformation(node, static_cast<unsigned short>(n + i + 1), ieee, 0x25, 2, 200);
    }
    db.setActive(node, true);
}

long fileSize(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned count = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 5000;
    const std::string dir = argc > 2 ? argv[2] : "/tmp";
    const std::string path = dir + "/store_load-" + std::to_string(getpid()) + ".db";
    {
        ZbNetDb db;
        std::vector<StoredNode> stored;
        Node* previous = nullptr;
        for (unsigned n = 1; n <= count; ++n) {
            unsigned char ieee[8];
            ieeeBytes(0x00124B0000000000ull + n, ieee);
            Node* node = db.nodeAnnounce(static_cast<unsigned short>(n), ieee, 0x8E);
            describe(db, node, n);
            if (previous != nullptr) {
                db.addNeighbor(previous, node);
            }
            previous = node;
        }
        for (unsigned n = 1; n <= count; ++n) {
            stored.push_back(*storedNode(db, static_cast<uint16_t>(n)));
        }
        NodeStore store(path);
        if (!store.ok() || !store.write(stored, {})) {
            std::fprintf(stderr, "store_load: cannot write %s: %s\n", path.c_str(),
                         store.error().c_str());
            return 1;
        }
    }
    const long bytes = fileSize(path) + fileSize(path + "-wal");
    const auto start = std::chrono::steady_clock::now();
    int restored = 0;
    {
        NodeStore store(path);
        ZbNetDb db;
        restored = restoreNodes(db, store.loadNodes()).restored;
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    for (const char* suffix : {"", "-wal", "-shm"}) {
        unlink((path + suffix).c_str());
    }
    std::printf("nodes=%d bytes=%ld load_ms=%.1f\n", restored, bytes, ms);
    return restored == static_cast<int>(count) ? 0 : 1;
}
