#include "NodeStore.h"

#include <sqlite3.h>

#include <algorithm>

namespace {

// A prepared statement, finalized when it goes out of scope.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }
    void bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    void bind(int i, const std::string& v) {
        sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    bool step() { return sqlite3_step(stmt_) == SQLITE_DONE; }
    bool row() { return sqlite3_step(stmt_) == SQLITE_ROW; }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string blob(int col) const {
        const void* data = sqlite3_column_blob(stmt_, col);
        return data ? std::string(static_cast<const char*>(data),
                                  static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
                    : std::string();
    }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS node(ieee INTEGER PRIMARY KEY, nwk INTEGER NOT NULL,"
    " node_descriptor BLOB, power_descriptor BLOB, end_points BLOB, neighbours BLOB,"
    " active INTEGER NOT NULL, last_heard INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS simple_descriptor(ieee INTEGER NOT NULL, end_point INTEGER"
    " NOT NULL, descriptor BLOB, PRIMARY KEY(ieee, end_point));"
    "CREATE TABLE IF NOT EXISTS identity(id INTEGER PRIMARY KEY CHECK(id = 0),"
    " ext_pan_id INTEGER NOT NULL, pan_id INTEGER NOT NULL, channel INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS registration(seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " id TEXT NOT NULL UNIQUE, method TEXT NOT NULL, path TEXT NOT NULL, query TEXT NOT NULL,"
    " body BLOB NOT NULL);";

const char* const kReadNodes =
    "SELECT ieee, nwk, node_descriptor, power_descriptor, end_points, neighbours, active,"
    " last_heard FROM node";
const char* const kReadSimple = "SELECT ieee, end_point, descriptor FROM simple_descriptor";
const char* const kReadIdentity = "SELECT ext_pan_id, pan_id, channel FROM identity WHERE id = 0";
const char* const kReadRegistrations =
    "SELECT id, method, path, query, body FROM registration ORDER BY seq";
const char* const kReads[] = {kReadNodes, kReadSimple, kReadIdentity, kReadRegistrations};

}  // namespace

bool StoredNode::operator==(const StoredNode& o) const {
    return ieee == o.ieee && nwk == o.nwk && nodeDescriptor == o.nodeDescriptor &&
           powerDescriptor == o.powerDescriptor && endPoints == o.endPoints &&
           simpleDescriptors == o.simpleDescriptors && neighbourTable == o.neighbourTable &&
           active == o.active && lastHeard == o.lastHeard;
}

NodeStore::NodeStore(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        fail(db_ ? sqlite3_errmsg(db_) : "out of memory", Refusal::Access);
        return;
    }
    sqlite3_busy_timeout(db_, 500);
    int version = -1;
    {
        Statement v(db_, "PRAGMA user_version");
        if (!v.ok() || !v.row()) {
            fail(std::string("not a readable database: ") + sqlite3_errmsg(db_), contentOrAccess());
            return;
        }
        version = static_cast<int>(v.integer(0));
    }
    if (version > kSchemaVersion) {
        fail("schema version " + std::to_string(version) + " is newer than " +
                 std::to_string(kSchemaVersion),
             Refusal::Content);
        return;
    }
    if (sqlite3_db_readonly(db_, "main") == 1) {
        fail("the file is read-only", Refusal::Access);
        return;
    }
    if (path != ":memory:") {
        Statement mode(db_, "PRAGMA journal_mode=WAL");
        if (!mode.ok() || !mode.row() || mode.blob(0) != "wal") {
            fail(std::string("cannot use WAL: ") + sqlite3_errmsg(db_), contentOrAccess());
            return;
        }
    }
    // A write transaction proves that the file and its directory take writes.
    if (!exec("BEGIN IMMEDIATE") || !exec(kSchema) || !exec("PRAGMA user_version = 1") ||
        !exec("COMMIT")) {
        fail(std::string("cannot write: ") + sqlite3_errmsg(db_), contentOrAccess());
        return;
    }
    // A database of another program may have tables of these names with other columns.
    for (const char* probe : kReads) {
        if (!Statement(db_, probe).ok()) {
            fail(std::string("not a network database of orq: ") + sqlite3_errmsg(db_),
                 Refusal::Content);
            return;
        }
    }
}

NodeStore::Refusal NodeStore::contentOrAccess() const {
    const int code = db_ ? sqlite3_errcode(db_) & 0xFF : SQLITE_CANTOPEN;
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT ? Refusal::Content : Refusal::Access;
}

NodeStore::~NodeStore() {
    sqlite3_close_v2(db_);
}

bool NodeStore::fail(const std::string& what, Refusal why) {
    // A statement may still be open: close_v2 frees the connection once it is finalized.
    error_ = what;
    refusal_ = why;
    sqlite3_close_v2(db_);
    db_ = nullptr;
    return false;
}

bool NodeStore::exec(const char* sql) {
    return db_ && sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool NodeStore::write(const std::vector<StoredNode>& nodes, const std::vector<uint64_t>& gone) {
    if (!db_) {
        return false;
    }
    if (!exec("BEGIN")) {
        error_ = sqlite3_errmsg(db_);
        return false;
    }
    Statement node(db_,
                   "INSERT OR REPLACE INTO node(ieee, nwk, node_descriptor, power_descriptor,"
                   " end_points, neighbours, active, last_heard) VALUES(?,?,?,?,?,?,?,?)");
    Statement dropSimple(db_, "DELETE FROM simple_descriptor WHERE ieee = ?");
    Statement simple(db_,
                     "INSERT INTO simple_descriptor(ieee, end_point, descriptor) VALUES(?,?,?)");
    Statement dropNode(db_, "DELETE FROM node WHERE ieee = ?");
    bool good = node.ok() && dropSimple.ok() && simple.ok() && dropNode.ok();
    for (const StoredNode& n : nodes) {
        if (!good) {
            break;
        }
        const auto ieee = static_cast<int64_t>(n.ieee);
        node.bind(1, ieee);
        node.bind(2, n.nwk);
        node.bind(3, n.nodeDescriptor);
        node.bind(4, n.powerDescriptor);
        node.bind(5, std::string(n.endPoints.begin(), n.endPoints.end()));
        node.bind(6, n.neighbourTable);
        node.bind(7, n.active ? 1 : 0);
        node.bind(8, n.lastHeard);
        good = node.step();
        node.reset();
        dropSimple.bind(1, ieee);
        good = good && dropSimple.step();
        dropSimple.reset();
        for (const auto& [ep, descriptor] : n.simpleDescriptors) {
            simple.bind(1, ieee);
            simple.bind(2, ep);
            simple.bind(3, descriptor);
            good = good && simple.step();
            simple.reset();
        }
    }
    for (uint64_t ieee : gone) {
        for (Statement* s : {&dropSimple, &dropNode}) {
            s->bind(1, static_cast<int64_t>(ieee));
            good = good && s->step();
            s->reset();
        }
    }
    if (!good) {
        error_ = sqlite3_errmsg(db_);
        exec("ROLLBACK");
        return false;
    }
    if (!exec("COMMIT")) {
        error_ = sqlite3_errmsg(db_);
        exec("ROLLBACK");
        return false;
    }
    return true;
}

std::vector<StoredNode> NodeStore::loadNodes() {
    std::vector<StoredNode> out;
    if (!db_) {
        return out;
    }
    std::map<uint64_t, size_t> at;
    Statement node(db_, kReadNodes);
    while (node.ok() && node.row()) {
        StoredNode n;
        n.ieee = static_cast<uint64_t>(node.integer(0));
        n.nwk = static_cast<uint16_t>(node.integer(1));
        n.nodeDescriptor = node.blob(2);
        n.powerDescriptor = node.blob(3);
        const std::string eps = node.blob(4);
        n.endPoints.assign(eps.begin(), eps.end());
        n.neighbourTable = node.blob(5);
        n.active = node.integer(6) != 0;
        n.lastHeard = node.integer(7);
        at[n.ieee] = out.size();
        out.push_back(std::move(n));
    }
    Statement simple(db_, kReadSimple);
    while (simple.ok() && simple.row()) {
        const auto found = at.find(static_cast<uint64_t>(simple.integer(0)));
        if (found != at.end()) {
            out[found->second].simpleDescriptors[static_cast<uint8_t>(simple.integer(1))] =
                simple.blob(2);
        }
    }
    // In IEEE order as the node database lists them (the column is signed).
    std::sort(out.begin(), out.end(),
              [](const StoredNode& x, const StoredNode& y) { return x.ieee < y.ieee; });
    return out;
}

std::map<uint16_t, uint64_t> NodeStore::loadAddresses() {
    std::map<uint16_t, uint64_t> out;
    if (!db_) {
        return out;
    }
    Statement s(db_, "SELECT nwk, ieee FROM node");
    while (s.ok() && s.row()) {
        out[static_cast<uint16_t>(s.integer(0))] = static_cast<uint64_t>(s.integer(1));
    }
    return out;
}

bool NodeStore::clear() {
    return exec("BEGIN") && exec("DELETE FROM simple_descriptor") && exec("DELETE FROM node") &&
           exec("COMMIT");
}

bool NodeStore::writeIdentity(const NetworkIdentity& id) {
    if (!db_) {
        return false;
    }
    Statement s(db_,
                "INSERT OR REPLACE INTO identity(id, ext_pan_id, pan_id, channel) "
                "VALUES(0,?,?,?)");
    if (!s.ok()) {
        return false;
    }
    s.bind(1, static_cast<int64_t>(id.extPanId));
    s.bind(2, id.panId);
    s.bind(3, id.channel);
    if (!s.step()) {
        error_ = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool NodeStore::loadIdentity(NetworkIdentity& id) {
    Statement s(db_, kReadIdentity);
    if (!s.ok() || !s.row()) {
        return false;
    }
    id.extPanId = static_cast<uint64_t>(s.integer(0));
    id.panId = static_cast<uint16_t>(s.integer(1));
    id.channel = static_cast<uint8_t>(s.integer(2));
    return true;
}

bool NodeStore::writeRegistration(const StoredRegistration& r) {
    if (!db_) {
        return false;
    }
    // Replaced as a new row: a registration made again counts from then on.
    Statement drop(db_, "DELETE FROM registration WHERE id = ?");
    Statement add(db_, "INSERT INTO registration(id, method, path, query, body) VALUES(?,?,?,?,?)");
    if (!drop.ok() || !add.ok() || !exec("BEGIN")) {
        error_ = sqlite3_errmsg(db_);
        return false;
    }
    drop.bind(1, r.id);
    int i = 1;
    for (const std::string* v : {&r.id, &r.method, &r.path, &r.query, &r.body}) {
        add.bind(i++, *v);
    }
    if (!drop.step() || !add.step() || !exec("COMMIT")) {
        error_ = sqlite3_errmsg(db_);
        exec("ROLLBACK");
        return false;
    }
    return true;
}

bool NodeStore::removeRegistration(const std::string& id) {
    if (!db_) {
        return false;
    }
    Statement drop(db_, "DELETE FROM registration WHERE id = ?");
    drop.bind(1, id);
    if (!drop.ok() || !drop.step()) {
        error_ = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

std::vector<StoredRegistration> NodeStore::loadRegistrations() {
    std::vector<StoredRegistration> out;
    if (!db_) {
        return out;
    }
    Statement s(db_, kReadRegistrations);
    while (s.ok() && s.row()) {
        out.push_back({s.blob(0), s.blob(1), s.blob(2), s.blob(3), s.blob(4)});
    }
    return out;
}
