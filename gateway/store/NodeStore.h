#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct sqlite3;

// What the file keeps of one node: its descriptors, end points and neighbours as the node
// database holds them, as opaque bytes per part, keyed by the IEEE address.
struct StoredNode {
    uint64_t ieee = 0;
    uint16_t nwk = 0;
    std::string nodeDescriptor;
    std::string powerDescriptor;
    std::vector<uint8_t> endPoints;
    std::map<uint8_t, std::string> simpleDescriptors;
    std::string neighbourTable;
    bool active = false;
    int64_t lastHeard = 0;

    bool operator==(const StoredNode& other) const;
};

// The network the stored nodes belong to.
struct NetworkIdentity {
    uint64_t extPanId = 0;
    uint16_t panId = 0;
    uint8_t channel = 0;

    bool operator==(const NetworkIdentity& o) const {
        return extPanId == o.extPanId && panId == o.panId && channel == o.channel;
    }
    bool operator!=(const NetworkIdentity& o) const { return !(*this == o); }
};

// A client's registration, as the request that made it (made again at start).
struct StoredRegistration {
    std::string id;
    std::string method;
    std::string path;
    std::string query;
    std::string body;

    bool operator==(const StoredRegistration& o) const {
        return id == o.id && method == o.method && path == o.path && query == o.query &&
               body == o.body;
    }
};

// The SQLite file of the stored network. Not thread-safe: one writer owns it.
class NodeStore {
  public:
    static constexpr int kSchemaVersion = 1;

    // Opens (creating when absent) `path` (":memory:" for a database in memory). On failure
    // ok() is false and error() says why.
    explicit NodeStore(const std::string& path);
    ~NodeStore();
    NodeStore(const NodeStore&) = delete;
    NodeStore& operator=(const NodeStore&) = delete;

    bool ok() const { return db_ != nullptr; }
    const std::string& error() const { return error_; }
    // Why a file was refused: its content (not a database of ours, damaged, a newer schema:
    // it may be moved aside and a new one made) or the path (it cannot be opened or written).
    enum class Refusal { None, Content, Access };
    Refusal refusal() const { return refusal_; }

    // Writes the nodes and removes those named in `gone`, in one transaction.
    bool write(const std::vector<StoredNode>& nodes, const std::vector<uint64_t>& gone);
    std::vector<StoredNode> loadNodes();
    // The network address each stored node was written under, by IEEE address (what a writer
    // needs to remove a node that left, without reading every node's parts).
    std::map<uint16_t, uint64_t> loadAddresses();
    bool clear();

    // Registrations in the order they were last made; one of the same id is replaced.
    bool writeRegistration(const StoredRegistration& r);
    bool removeRegistration(const std::string& id);
    std::vector<StoredRegistration> loadRegistrations();

    bool writeIdentity(const NetworkIdentity& id);
    // False when no identity was stored.
    bool loadIdentity(NetworkIdentity& id);

  private:
    bool exec(const char* sql);
    bool fail(const std::string& what, Refusal why);
    Refusal contentOrAccess() const;

    sqlite3* db_ = nullptr;
    std::string error_;
    Refusal refusal_ = Refusal::None;
};
