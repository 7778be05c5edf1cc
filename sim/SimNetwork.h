// The simulated ZigBee network behind the emulated co-processor.
//
// Holds the nodes read from a network file (INI), their descriptors, end points, neighbour and
// binding tables and application state, and the module's own node once it is part of the network
// (as coordinator at 0x0000, or as a router or end device that joined). Everything here is plain
// data and queries; the protocol that reads and changes it is SimModule. Not thread-safe: the
// emulator's loop thread owns it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

namespace zbsim {

constexpr uint16_t kNoAddress = 0xFFFF;

enum class LogicalType : uint8_t { Coordinator = 0, Router = 1, EndDevice = 2 };
// Absent: not (or no longer) part of the network; its address is unknown to the others.
// Up: answers. Silent: still in its neighbours' tables but answers nothing; can be revived.
// Dead: like Silent, for good.
enum class NodeState : uint8_t { Absent, Up, Silent, Dead };
enum class AppKind : uint8_t { None, OnOffLight, TemperatureSensor };

const char* toString(LogicalType t);
const char* toString(NodeState s);
const char* toString(AppKind a);

struct SimpleDesc {
    uint8_t ep = 0;
    uint16_t profile = 0;
    uint16_t device = 0;
    uint8_t version = 0;
    std::vector<uint16_t> in;
    std::vector<uint16_t> out;
    bool hasIn(uint16_t c) const;
    bool hasOut(uint16_t c) const;
};

struct Binding {
    uint64_t srcIeee = 0;
    uint8_t srcEp = 0;
    uint16_t cluster = 0;
    uint64_t dstIeee = 0;
    uint8_t dstEp = 0;
    bool operator==(const Binding& o) const {
        return srcIeee == o.srcIeee && srcEp == o.srcEp && cluster == o.cluster &&
               dstIeee == o.dstIeee && dstEp == o.dstEp;
    }
};

struct NeighborLink {
    uint16_t addr = 0;
    uint8_t lqi = 0;
};

// One row of a management LQI response (22 bytes on the wire).
struct NeighborEntry {
    uint64_t extPanId = 0;
    uint64_t ieee = 0;
    uint16_t nwk = 0;
    uint8_t devTypeRxOnRelation = 0;
    uint8_t permitJoining = 0;
    uint8_t depth = 0;
    uint8_t lqi = 0;
};

struct Node {
    std::string name;
    uint64_t ieee = 0;
    uint16_t nwk = 0;
    LogicalType type = LogicalType::Router;
    uint16_t parent = 0;  // meaningless for the coordinator
    // A second parent that also lists the node among its children (kNoAddress: none).
    uint16_t alsoParent = kNoAddress;
    uint16_t rejoinShort = kNoAddress;  // the address taken on a rejoin (kNoAddress: keeps its own)
    bool rxOnWhenIdle = true;
    uint8_t macCap = 0x8E;
    uint16_t manufacturer = 0x1008;
    std::string manufacturerName;
    std::string model;
    uint8_t power[2] = {0x10, 0xC1};
    std::vector<SimpleDesc> endpoints;
    bool neighborsGiven = false;
    std::vector<NeighborLink> neighbors;  // only when neighborsGiven
    uint8_t lqi = 200;                    // link quality to its parent
    std::vector<Binding> bindings;
    AppKind app = AppKind::None;
    int reportIntervalS = 0;
    uint8_t reportEndpoint = 8;
    uint64_t reportChain = 0;  // bumped whenever reports (re)start: older chains end
    double temperature = 20.0;
    bool onOff = false;
    NodeState state = NodeState::Up;
    bool isModule = false;
    int64_t permitJoinUntilMs = 0;  // 0 closed, -1 open until closed, else a deadline
    uint8_t seq = 0;                // transaction sequence for what the node originates
    // Faults of the node's radio link, set by the file or the control commands.
    int latencyMs = 0;       // added to every answer
    int lossPercent = 0;     // share of frames to or from the node that are lost
    uint64_t frames = 0;     // frames that met the loss draw so far
    uint8_t refuseLqi = 0;   // non-zero: Mgmt_Lqi requests are answered with this status only
    uint8_t refuseBind = 0;  // the same for Mgmt_Bind

    const SimpleDesc* endpoint(uint8_t ep) const;
    const SimpleDesc* endpointWithInCluster(uint16_t cluster) const;
    bool answers() const { return state == NodeState::Up; }
    bool present() const { return state != NodeState::Absent; }
    bool permitsJoining(int64_t nowMs) const;
    // The 13-byte node descriptor of the ZigBee device profile.
    std::vector<uint8_t> nodeDescriptor() const;
};

struct ModuleConfig {
    uint64_t ieee = 0x00124B0000000001ULL;
    uint8_t channel = 15;
    uint16_t panId = 0x1A62;
    uint64_t extPanId = 0;                             // 0: the module's IEEE address
    uint64_t coordinatorIeee = 0x00124B00000000C0ULL;  // the coordinator met when joining
    uint16_t joinAddress = 0x0001;                     // taken when joining as router/end device
    uint16_t joinParent = 0x0000;
    int assocPerResponse = 30;
    int lqiPerResponse = 3;
    int bindingCapacity = 16;
    int rebootMs = 50;
    int pollMs = 500;  // a sleepy end device's poll period (realistic timing only)
};

class Network {
  public:
    // Loads a network file. On failure returns false with a message naming the section and key.
    bool load(const std::string& path, std::string& err);

    ModuleConfig& config() { return config_; }
    const ModuleConfig& config() const { return config_; }

    // The module's own node; part of the network only while moduleInNetwork().
    Node& module() { return module_; }
    const Node& module() const { return module_; }
    bool moduleInNetwork() const { return moduleIn_; }
    // Puts the module into the network as coordinator (0x0000) or as a joined router or end device.
    void attachModule(LogicalType type, uint64_t ieee, uint16_t nwk, uint16_t parent);
    void detachModule() { moduleIn_ = false; }

    // Node lookup among the nodes of the network (the module included while attached). A node
    // shadowed by the module's address is not reachable.
    Node* find(uint16_t nwk);
    Node* findIeee(uint64_t ieee);
    // A name, a short address ("0x1001" or "1001") or an IEEE address (16 hex digits).
    Node* findRef(const std::string& ref);
    // Every node, module first when attached, then by address.
    std::vector<Node*> all();

    // Present children of nwk, by address; with secondToo, also the nodes that name nwk as
    // their second parent.
    std::vector<Node*> children(uint16_t nwk, bool secondToo = true);
    std::vector<uint16_t> associatedDevices(uint16_t nwk) {
        std::vector<uint16_t> v;
        for (Node* c : children(nwk))
            v.push_back(c->nwk);
        return v;
    }
    int depth(const Node& n);
    std::vector<NeighborEntry> neighborTable(Node& n, int64_t nowMs);

    // Binding table operations with ZigBee status results (0, 0x87 table full, 0x88 no entry).
    uint8_t addBinding(Node& n, const Binding& b);
    uint8_t removeBinding(Node& n, const Binding& b);

    // Takes a node out of the network (and, when asked, every descendant). Returns the nodes
    // removed, deepest first.
    std::vector<Node*> removeNode(Node& n, bool withChildren);

    uint64_t extendedPanId() const {
        return runningExtPanId_   ? runningExtPanId_
               : config_.extPanId ? config_.extPanId
                                  : module_.ieee;
    }
    // The extended PAN id the running network uses (0: the file's).
    void setRunningExtPanId(uint64_t id) { runningExtPanId_ = id; }
    // Gives a node a new short address (its children and neighbour links follow); false when
    // the address is taken.
    bool readdress(Node& n, uint16_t nwk);
    size_t size() const { return nodes_.size(); }

    // Adds a node directly (used by the loader and by tests).
    bool addNode(const Node& n, std::string& err);

  private:
    ModuleConfig config_;
    std::map<uint16_t, Node> nodes_;
    std::unordered_set<uint64_t> ieees_;  // of nodes_, for the duplicate checks
    std::unordered_set<std::string> names_;
    Node module_;
    bool moduleIn_ = false;
    uint64_t runningExtPanId_ = 0;
};

bool parseIeee(const std::string& text, uint64_t& out);
bool parseNumber(const std::string& text, unsigned long& out);  // decimal or 0x-hex

}  // namespace zbsim
