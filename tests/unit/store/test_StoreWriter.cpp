#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <sqlite3.h>
#include <unistd.h>

#include "StoreWriter.h"

namespace {

using namespace std::chrono_literals;

// The node database as the writer sees it: nodes by network address, and how many times each
// was asked for.
struct FakeNetwork {
    std::mutex mutex;
    std::map<uint16_t, StoredNode> nodes;
    std::map<uint16_t, int> asked;

    void put(uint16_t nwk, uint64_t ieee, int64_t lastHeard) {
        std::lock_guard<std::mutex> lock(mutex);
        StoredNode n;
        n.nwk = nwk;
        n.ieee = ieee;
        n.lastHeard = lastHeard;
        n.endPoints = {1};
        nodes[nwk] = n;
    }
    void drop(uint16_t nwk) {
        std::lock_guard<std::mutex> lock(mutex);
        nodes.erase(nwk);
    }
    StoreWriter::Snapshot snapshot() {
        return [this](uint16_t nwk) -> std::optional<StoredNode> {
            std::lock_guard<std::mutex> lock(mutex);
            ++asked[nwk];
            const auto found = nodes.find(nwk);
            if (found == nodes.end()) {
                return std::nullopt;
            }
            return found->second;
        };
    }
};

constexpr auto kNever = std::chrono::hours(1);

}  // namespace

TEST(StoreWriter, ManyMarksOfOneNodeAreOneWriteOfItsLatestState) {
    NodeStore store(":memory:");
    ASSERT_TRUE(store.ok()) << store.error();
    FakeNetwork net;
    StoreWriter writer(store, net.snapshot(), kNever);
    for (int i = 0; i < 1000; ++i) {
        net.put(0x1234, 0x00124B0000000001ULL, i);
        writer.markDirty(0x1234);
    }
    net.put(0x2345, 0x00124B0000000002ULL, 7);
    writer.markDirty(0x2345);
    EXPECT_EQ(writer.batches(), 0u);
    writer.flush();
    EXPECT_EQ(writer.batches(), 1u);
    EXPECT_EQ(net.asked[0x1234], 1);
    const std::vector<StoredNode> stored = store.loadNodes();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].lastHeard, 999);
    EXPECT_EQ(stored[1].nwk, 0x2345);

    // Nothing dirty: a flush writes nothing.
    writer.flush();
    EXPECT_EQ(writer.batches(), 1u);
}

TEST(StoreWriter, ANodeThatLeftIsRemovedByTheAddressItWasWrittenWith) {
    NodeStore store(":memory:");
    ASSERT_TRUE(store.ok());
    FakeNetwork net;
    {
        StoreWriter writer(store, net.snapshot(), kNever);
        net.put(0x1111, 0xA1, 1);
        net.put(0x2222, 0xA2, 1);
        writer.markDirty(0x1111);
        writer.markDirty(0x2222);
        writer.flush();
    }
    // A writer of a later start knows what the file holds.
    StoreWriter writer(store, net.snapshot(), kNever);
    net.drop(0x1111);
    writer.markDirty(0x1111);
    writer.flush();
    const std::vector<StoredNode> stored = store.loadNodes();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].ieee, 0xA2u);
}

TEST(StoreWriter, ChangesReachTheFileWithinTheDelayAndOnStop) {
    NodeStore store(":memory:");
    ASSERT_TRUE(store.ok());
    FakeNetwork net;
    StoreWriter writer(store, net.snapshot(), 20ms);
    net.put(0x1234, 0xB1, 1);
    writer.markDirty(0x1234);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (writer.batches() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(writer.batches(), 1u);

    // Marked just before the stop: stop writes it though its delay has not run out.
    StoreWriter slow(store, net.snapshot(), kNever);
    net.put(0x5678, 0xB2, 2);
    slow.markDirty(0x5678);
    slow.stop();
    EXPECT_EQ(slow.batches(), 1u);
    EXPECT_EQ(store.loadNodes().size(), 2u);
    // Stopped twice or flushed after the stop: no hang.
    slow.stop();
    slow.flush();
}

TEST(StoreWriter, AFailedWriteIsReportedAndTriedAgainWithWhatCameMeanwhile) {
    char name[] = "/tmp/orq-writer-XXXXXX";
    const std::string dir = mkdtemp(name);
    const std::string path = dir + "/network.db";
    {
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
            EXPECT_TRUE(
                writer.writeLater([each](NodeStore& s) { return s.writeRegistration(*each); }));
        }
        EXPECT_TRUE(
            writer.writeLater([&gone](NodeStore& s) { return s.removeRegistration(gone.id); }));
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (failures < 2 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_GE(failures, 2);  // tried again, not dropped
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
    for (const char* suffix : {"", "-wal", "-shm"}) {
        unlink((path + suffix).c_str());
    }
    rmdir(dir.c_str());
}
