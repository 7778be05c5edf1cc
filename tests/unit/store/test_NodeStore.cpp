#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "NodeStore.h"

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

// A file path in a fresh directory, removed with it.
struct TempDir {
    std::filesystem::path dir;
    TempDir() {
        char name[] = "/tmp/orq-store-XXXXXX";
        dir = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(dir); }
    std::string file(const char* name) const { return (dir / name).string(); }
};

// A database file written by another program with `sql`.
bool madeByAnotherProgram(const std::string& path, const char* sql) {
    sqlite3* raw = nullptr;
    const bool ok = sqlite3_open(path.c_str(), &raw) == SQLITE_OK &&
                    sqlite3_exec(raw, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(raw);
    return ok;
}

}  // namespace

TEST(NodeStore, NodesAreWrittenReplacedAndRemoved) {
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
}

TEST(NodeStore, IdentityIsAbsentUntilWrittenThenReplaced) {
    NodeStore store(":memory:");
    ASSERT_TRUE(store.ok()) << store.error();
    NetworkIdentity id;
    EXPECT_FALSE(store.loadIdentity(id));
    ASSERT_TRUE(store.writeIdentity({0xDDDDDDDDDDDDDDDDULL, 0x1A62, 11}));
    ASSERT_TRUE(store.writeIdentity({0x00124B00AABBCCDDULL, 0x2B73, 25}));
    ASSERT_TRUE(store.loadIdentity(id));
    EXPECT_EQ(id, (NetworkIdentity{0x00124B00AABBCCDDULL, 0x2B73, 25}));
    EXPECT_NE(id, (NetworkIdentity{0x00124B00AABBCCDDULL, 0x2B73, 26}));
}

TEST(NodeStore, AFileKeepsNodesAcrossOpeningsInWalMode) {
    TempDir tmp;
    const std::string path = tmp.file("network.db");
    const StoredNode a = sampleNode(0x00124B0001020304ULL, 0x1234);
    {
        NodeStore store(path);
        ASSERT_TRUE(store.ok()) << store.error();
        ASSERT_TRUE(store.write({a}, {}));
    }
    NodeStore again(path);
    ASSERT_TRUE(again.ok()) << again.error();
    EXPECT_EQ(again.loadNodes(), (std::vector<StoredNode>{a}));

    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw, "PRAGMA journal_mode", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "wal");
    sqlite3_finalize(s);
    sqlite3_close(raw);
}

TEST(NodeStore, NewerAndUnreadableFilesAreRefusedWithAReason) {
    TempDir tmp;
    const std::string newer = tmp.file("newer.db");
    ASSERT_TRUE(madeByAnotherProgram(newer, "PRAGMA user_version = 2"));
    NodeStore fromLater(newer);
    EXPECT_FALSE(fromLater.ok());
    EXPECT_EQ(fromLater.error(), "schema version 2 is newer than 1");
    EXPECT_EQ(fromLater.refusal(), NodeStore::Refusal::Content);

    // A database of another program, with a table of the same name.
    const std::string foreign = tmp.file("foreign.db");
    ASSERT_TRUE(madeByAnotherProgram(foreign, "CREATE TABLE node(name TEXT)"));
    NodeStore other(foreign);
    EXPECT_FALSE(other.ok());
    EXPECT_EQ(other.refusal(), NodeStore::Refusal::Content) << other.error();

    const std::string garbage = tmp.file("garbage.db");
    std::ofstream(garbage) << std::string(4096, 'x');
    NodeStore corrupt(garbage);
    EXPECT_FALSE(corrupt.ok());
    EXPECT_NE(corrupt.error().find("not a readable database"), std::string::npos)
        << corrupt.error();
    EXPECT_EQ(corrupt.refusal(), NodeStore::Refusal::Content);

    // The path, not the content: such a file must never be moved aside.
    NodeStore nowhere(tmp.file("missing/dir/network.db"));
    EXPECT_FALSE(nowhere.ok());
    EXPECT_FALSE(nowhere.error().empty());
    EXPECT_EQ(nowhere.refusal(), NodeStore::Refusal::Access);
}

TEST(NodeStore, RegistrationsKeepTheOrderTheyWereLastMadeIn) {
    TempDir tmp;
    const std::string path = tmp.file("network.db");
    const StoredRegistration a{"0000000a", "POST", "/net/default/callbacks", "", "<Callback/>"};
    const StoredRegistration b{"0000000b", "POST",
                               "/net/default/localnode/services/08/wsnconnection",
                               "urilistener=http://127.0.0.1:1/x", ""};
    StoredRegistration again = a;
    again.body = "<Callback>2</Callback>";
    {
        NodeStore store(path);
        ASSERT_TRUE(store.writeRegistration(a));
        ASSERT_TRUE(store.writeRegistration(b));
        // Made again: replaced, and now the latest.
        ASSERT_TRUE(store.writeRegistration(again));
        EXPECT_EQ(store.loadRegistrations(), (std::vector<StoredRegistration>{b, again}));
        ASSERT_TRUE(store.removeRegistration(b.id));
        ASSERT_TRUE(store.removeRegistration("absent"));
    }
    NodeStore reopened(path);
    EXPECT_EQ(reopened.loadRegistrations(), (std::vector<StoredRegistration>{again}));
}
