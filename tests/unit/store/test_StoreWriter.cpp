#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

#include "StoreWriter.h"
#include "support/TempFile.h"
#include "support/WaitFor.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kNever = std::chrono::hours(1);

// The node database as the writer sees it: nodes by network address, and how many times each
// was asked for.
struct FakeNetwork {
    std::mutex mutex;
    std::map<uint16_t, StoredNode> nodes;
    std::map<uint16_t, int> asked;

    void put(uint16_t nwk, uint64_t ieee, int64_t lastHeard) {
        std::lock_guard<std::mutex> lock(mutex);
        StoredNode& n = nodes[nwk];
        n.nwk = nwk;
        n.ieee = ieee;
        n.lastHeard = lastHeard;
    }
    StoreWriter::Snapshot snapshot() {
        return [this](uint16_t nwk) -> std::optional<StoredNode> {
            std::lock_guard<std::mutex> lock(mutex);
            ++asked[nwk];
            const auto found = nodes.find(nwk);
            return found == nodes.end() ? std::nullopt : std::optional<StoredNode>(found->second);
        };
    }
};

}  // namespace

TEST(StoreWriter, ManyMarksOfOneNodeAreOneWriteOfItsLatestStateAndALeaverIsRemoved) {
    NodeStore store(":memory:");
    ASSERT_TRUE(store.ok()) << store.error();
    FakeNetwork net;
    {
        StoreWriter writer(store, net.snapshot(), kNever);
        for (int i = 0; i < 1000; ++i) {
            net.put(0x1234, 0x00124B0000000001ULL, i);
            writer.markDirty(0x1234);
        }
        net.put(0x2345, 0x00124B0000000002ULL, 7);
        writer.markDirty(0x2345);
        EXPECT_EQ(writer.batches(), 0u);
        writer.flush();
        writer.flush();  // nothing dirty: writes nothing
        EXPECT_EQ(writer.batches(), 1u);
        EXPECT_EQ(net.asked[0x1234], 1);
        const std::vector<StoredNode> stored = store.loadNodes();
        ASSERT_EQ(stored.size(), 2u);
        EXPECT_EQ(stored[0].lastHeard, 999);
        EXPECT_EQ(stored[1].nwk, 0x2345);
    }
    // A writer of a later start knows what the file holds: a node that left is removed by
    // the address it was written with. Marked just before the stop: stop writes it though its
    // delay has not run out.
    StoreWriter writer(store, net.snapshot(), kNever);
    net.nodes.erase(0x1234);
    writer.markDirty(0x1234);
    writer.stop();
    EXPECT_EQ(writer.batches(), 1u);
    const std::vector<StoredNode> stored = store.loadNodes();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].ieee, 0x00124B0000000002ULL);
    writer.stop();  // stopped twice or flushed after the stop: no hang
    writer.flush();
}

// Written after its delay (10 ms) on the writer's own thread.
TEST(StoreWriter, AFailedWriteIsReportedAndTriedAgainWithWhatCameMeanwhile) {
    TempDir dir;
    const std::string path = dir.file("network.db");
    NodeStore store(path);
    ASSERT_TRUE(store.ok()) << store.error();
    // Another connection holds the file's write lock: every write fails, as on a full disk.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    FakeNetwork net;
    std::atomic<int> failures{0};
    StoreWriter writer(store, net.snapshot(), 10ms, [&](const std::string& error) {
        EXPECT_FALSE(error.empty());
        ++failures;
    });
    net.put(0x0001, 0xA1, 1);
    writer.markDirty(0x0001);
    // Jobs wait for the file too, in their order (the removal must not come first).
    const StoredRegistration r{"00000001", "POST", "/net/default/callbacks", "", "<x/>"};
    const StoredRegistration gone{"00000002", "POST", "/net/default/callbacks", "", ""};
    for (const StoredRegistration* each : {&r, &gone}) {
        EXPECT_TRUE(writer.writeLater([each](NodeStore& s) { return s.writeRegistration(*each); }));
    }
    EXPECT_TRUE(writer.writeLater([&gone](NodeStore& s) { return s.removeRegistration(gone.id); }));
    EXPECT_TRUE(waitFor([&] { return failures >= 2; }, 60s));  // tried again, not dropped
    net.put(0x0002, 0xA2, 2);
    writer.markDirty(0x0002);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    writer.flush();
    writer.stop();
    EXPECT_EQ(store.loadNodes().size(), 2u);
    EXPECT_EQ(writer.batches(), 1u);
    EXPECT_EQ(store.loadRegistrations(), std::vector<StoredRegistration>{r});
}
