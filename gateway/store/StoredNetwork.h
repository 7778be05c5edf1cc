#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "NodeStore.h"
#include "StoreWriter.h"

class ZbNetDb;

// The stored copy of the network database (Storage:database): loaded at start, kept up to date
// from the database's change callback by a writer thread, checked against the network the
// module starts. Operator lines go to standard error, each led by "Storage:".
class StoredNetwork {
  public:
    // Opens `path`. A file whose content is refused (not a database of ours, damaged, a newer
    // schema) is moved aside as "<path>.unreadable-<time>" and a new one made; nothing when
    // even so no file can be opened and written (`problem` then says why).
    static std::unique_ptr<StoredNetwork> open(const std::string& path, ZbNetDb& db,
                                               std::string& problem);
    ~StoredNetwork();
    StoredNetwork(const StoredNetwork&) = delete;
    StoredNetwork& operator=(const StoredNetwork&) = delete;

    // Brings the stored nodes into the database (before the REST server answers), then starts
    // writing its changes. Returns the number of nodes restored.
    int load(std::chrono::milliseconds batchDelay = std::chrono::milliseconds(1000));

    // The module started a network: the same one as stored keeps the nodes, another one drops
    // them (true: the database was emptied of every node but the gateway).
    bool networkUp(const NetworkIdentity& id);

    // The clients' registrations read by load(), in the order they were made.
    const std::vector<StoredRegistration>& registrations() const { return registrations_; }
    // A registration made (or made again), or gone: written with the next batch.
    void registrationKept(const StoredRegistration& r);
    void registrationForgotten(const std::string& id);

    // Writes what is pending and stops watching the database.
    void stop();

  private:
    StoredNetwork(std::string path, std::unique_ptr<NodeStore> store, ZbNetDb& db);
    void writeFailed(const std::string& error);

    const std::string path_;
    std::unique_ptr<NodeStore> store_;
    ZbNetDb& db_;
    std::unique_ptr<StoreWriter> writer_;
    std::optional<NetworkIdentity> stored_;
    std::map<uint64_t, int64_t> heardBefore_;  // set by load(), read-only afterwards
    std::vector<StoredRegistration> registrations_;
    void queue(StoreWriter::StoreJob job);
    std::mutex failureMutex_;
    std::optional<std::chrono::steady_clock::time_point> lastFailureLine_;
    int failuresSinceLine_ = 0;
};
