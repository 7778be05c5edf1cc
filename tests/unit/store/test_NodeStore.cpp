#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "NodeStore.h"
#include "support/TempFile.h"

namespace {

StoredNode sampleNode(uint64_t ieee, uint16_t nwk) {
    StoredNode n;
    n.ieee = ieee;
    n.nwk = nwk;
    n.nodeDescriptor = std::string("\x01\x40\x8e\x00\x00", 5);
    n.powerDescriptor = std::string("\x10\x0c", 2);
    n.endPoints = {1, 2};
    n.simpleDescriptors[1] = std::string("\x01\x04\x01\x00\x00", 5);
    n.simpleDescriptors[2] = std::string("\x02\x04\x01", 3);
    n.neighbourTable = std::string("\x00\xff\x12", 3);
    n.active = true;
    n.lastHeard = 1765180000;
    return n;
}

// Runs `sql` on the file as another program would; returns its first result as text.
std::string otherProgram(const std::string& path, const char* sql) {
    sqlite3* raw = nullptr;
    std::string out = "(failed)";
    sqlite3_stmt* s = nullptr;
    if (sqlite3_open(path.c_str(), &raw) == SQLITE_OK &&
        sqlite3_prepare_v2(raw, sql, -1, &s, nullptr) == SQLITE_OK) {
        const int rc = sqlite3_step(s);
        out = rc == SQLITE_ROW    ? reinterpret_cast<const char*>(sqlite3_column_text(s, 0))
              : rc == SQLITE_DONE ? ""
                                  : "(failed)";
    }
    sqlite3_finalize(s);
    sqlite3_close(raw);
    return out;
}

}  // namespace

TEST(NodeStore, NodesAndIdentityAreWrittenReplacedAndRemoved) {
    NodeStore store(":memory:");
    ASSERT_TRUE(store.ok()) << store.error();
    EXPECT_TRUE(store.loadNodes().empty());
    StoredNode a = sampleNode(0x00124B0001020304ULL, 0x1234);
    // The highest bit of an IEEE address survives the signed column.
    StoredNode b = sampleNode(0xF0124B0001020305ULL, 0x5678);
    b.active = false;
    b.simpleDescriptors.erase(2);
    ASSERT_TRUE(store.write({a, b}, {}));
    EXPECT_EQ(store.loadNodes(), (std::vector<StoredNode>{a, b}));
    // A node written again replaces all it had: an end point it lost is gone.
    a.nwk = 0x4321;
    a.simpleDescriptors.erase(1);
    a.endPoints = {2};
    ASSERT_TRUE(store.write({a}, {b.ieee}));
    EXPECT_EQ(store.loadNodes(), (std::vector<StoredNode>{a}));
    ASSERT_TRUE(store.clear());
    EXPECT_TRUE(store.loadNodes().empty());

    NetworkIdentity id;
    EXPECT_FALSE(store.loadIdentity(id));
    ASSERT_TRUE(store.writeIdentity({0xDDDDDDDDDDDDDDDDULL, 0x1A62, 11}));
    ASSERT_TRUE(store.writeIdentity({0x00124B00AABBCCDDULL, 0x2B73, 25}));
    ASSERT_TRUE(store.loadIdentity(id));
    EXPECT_EQ(id, (NetworkIdentity{0x00124B00AABBCCDDULL, 0x2B73, 25}));
    EXPECT_NE(id, (NetworkIdentity{0x00124B00AABBCCDDULL, 0x2B73, 26}));
}

// Registrations keep the order they were last made in, across openings of a file in WAL mode.
TEST(NodeStore, AFileKeepsNodesAndRegistrationsAcrossOpenings) {
    TempDir tmp;
    const std::string path = tmp.file("network.db");
    const StoredNode node = sampleNode(0x00124B0001020304ULL, 0x1234);
    const StoredRegistration a{"0000000a", "POST", "/net/default/callbacks", "", "<Callback/>"};
    const StoredRegistration b{"0000000b", "POST",
                               "/net/default/localnode/services/08/wsnconnection",
                               "urilistener=http://127.0.0.1:1/x", ""};
    StoredRegistration again = a;
    again.body = "<Callback>2</Callback>";
    {
        NodeStore store(path);
        ASSERT_TRUE(store.ok()) << store.error();
        ASSERT_TRUE(store.write({node}, {}));
        ASSERT_TRUE(store.writeRegistration(a));
        ASSERT_TRUE(store.writeRegistration(b));
        ASSERT_TRUE(store.writeRegistration(again));  // made again: replaced, the latest
        EXPECT_EQ(store.loadRegistrations(), (std::vector<StoredRegistration>{b, again}));
        ASSERT_TRUE(store.removeRegistration(b.id));
        ASSERT_TRUE(store.removeRegistration("absent"));
    }
    NodeStore reopened(path);
    ASSERT_TRUE(reopened.ok()) << reopened.error();
    EXPECT_EQ(reopened.loadNodes(), (std::vector<StoredNode>{node}));
    EXPECT_EQ(reopened.loadRegistrations(), (std::vector<StoredRegistration>{again}));
    EXPECT_EQ(otherProgram(path, "PRAGMA journal_mode"), "wal");
}

// A file of a later version, of another program or of no database at all is refused for its
// content; one that cannot be reached for its path (such a file must never be moved aside).
TEST(NodeStore, NewerForeignDamagedAndUnreachableFilesAreRefusedWithAReason) {
    TempDir tmp;
    ASSERT_EQ(otherProgram(tmp.file("newer.db"), "PRAGMA user_version = 2"), "");
    ASSERT_EQ(otherProgram(tmp.file("foreign.db"), "CREATE TABLE node(name TEXT)"), "");
    std::ofstream(tmp.file("garbage.db")) << std::string(4096, 'x');
    const struct {
        const char* file;
        NodeStore::Refusal why;
        const char* error;
    } cases[] = {
        {"newer.db", NodeStore::Refusal::Content, "schema version 2 is newer than 1"},
        {"foreign.db", NodeStore::Refusal::Content, ""},
        {"garbage.db", NodeStore::Refusal::Content, "not a readable database"},
        {"missing/dir/network.db", NodeStore::Refusal::Access, ""},
    };
    for (const auto& c : cases) {
        NodeStore store(tmp.file(c.file));
        EXPECT_FALSE(store.ok()) << c.file;
        EXPECT_EQ(store.refusal(), c.why) << c.file << ": " << store.error();
        EXPECT_FALSE(store.error().empty()) << c.file;
        EXPECT_NE(store.error().find(c.error), std::string::npos) << store.error();
    }
}
