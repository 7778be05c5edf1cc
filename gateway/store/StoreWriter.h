#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "NodeStore.h"

// Writes changed nodes to the store from its own thread. Changes only mark a node dirty (a
// set of network addresses, so a node reported a thousand times is written once); the thread
// writes what is dirty in one transaction at most `delay` after the first mark. markDirty()
// never blocks on the file: it may be called with the node database's lock held.
class StoreWriter {
  public:
    // What to write for a network address; nothing when the node left (it is then removed by
    // the IEEE address it was last written with).
    using Snapshot = std::function<std::optional<StoredNode>(uint16_t nwk)>;

    // Told, on the writer's thread, why a batch could not be written (it is tried again a
    // delay later, with what was marked meanwhile).
    using FailureReport = std::function<void(const std::string& error)>;

    StoreWriter(NodeStore& store, Snapshot snapshot,
                std::chrono::milliseconds delay = std::chrono::milliseconds(1000),
                FailureReport onFailure = nullptr);
    ~StoreWriter();
    StoreWriter(const StoreWriter&) = delete;
    StoreWriter& operator=(const StoreWriter&) = delete;

    void markDirty(uint16_t nwk);
    // Writes all that is dirty now and returns when it is on file.
    void flush();
    // Flushes and ends the thread; called on stop.
    void stop();

    // Runs `fn` on the store with the next batch, on the writer's thread (true: it is done);
    // jobs run in the order given, and one that fails is tried again, with those after it,
    // at the batch after. False (and `fn` is dropped) when kMaxJobs are already waiting.
    using StoreJob = std::function<bool(NodeStore&)>;
    static constexpr size_t kMaxJobs = 4096;
    bool writeLater(StoreJob fn);

    // Batches written so far (each one transaction).
    uint64_t batches() const;

  private:
    void run();
    void writeBatch(std::unique_lock<std::mutex>& lock);

    NodeStore& store_;
    Snapshot snapshot_;
    const std::chrono::milliseconds delay_;
    FailureReport onFailure_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::set<uint16_t> dirty_;
    std::deque<StoreJob> jobs_;
    std::map<uint16_t, uint64_t> written_ieee_;
    std::optional<std::chrono::steady_clock::time_point> due_;
    bool flushing_ = false;
    bool stopping_ = false;
    uint64_t batches_ = 0;
    uint64_t flushRequests_ = 0;
    uint64_t flushesDone_ = 0;
    std::thread thread_;
};
