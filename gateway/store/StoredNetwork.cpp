#include "StoredNetwork.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "StoredNodeCodec.h"
#include "ZbNetDb.h"

namespace {

constexpr std::chrono::minutes kFailureLinePeriod{1};

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// "<path>.unreadable-<UTC time>", with the database's -wal and -shm beside it, so that the new
// file never picks up the journal of the old one.
bool moveAside(const std::string& path, std::string& aside, std::string& problem) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc;
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof(stamp), "%Y%m%dT%H%M%SZ", &utc);
    aside = path + ".unreadable-" + stamp;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string from = path + suffix;
        if (exists(from) && std::rename(from.c_str(), (aside + suffix).c_str()) != 0) {
            problem = "cannot move " + from + " aside: " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

std::string describe(const NetworkIdentity& id) {
    char text[96];
    std::snprintf(text, sizeof(text), "extended PAN id %016llx, PAN id 0x%04x, channel %u",
                  static_cast<unsigned long long>(id.extPanId), id.panId, id.channel);
    return text;
}

}  // namespace

std::unique_ptr<StoredNetwork> StoredNetwork::open(const std::string& path, ZbNetDb& db,
                                                   std::string& problem) {
    auto store = std::make_unique<NodeStore>(path);
    if (!store->ok() && store->refusal() == NodeStore::Refusal::Content) {
        const std::string reason = store->error();
        store.reset();
        std::string aside;
        if (!moveAside(path, aside, problem)) {
            return nullptr;
        }
        std::fprintf(stderr,
                     "Storage: %s refused (%s): moved aside as %s, starting with an empty "
                     "network\n",
                     path.c_str(), reason.c_str(), aside.c_str());
        store = std::make_unique<NodeStore>(path);
    }
    if (!store->ok()) {
        problem = "cannot keep the network in " + path + ": " + store->error();
        return nullptr;
    }
    return std::unique_ptr<StoredNetwork>(new StoredNetwork(path, std::move(store), db));
}

StoredNetwork::StoredNetwork(std::string path, std::unique_ptr<NodeStore> store, ZbNetDb& db)
    : path_(std::move(path)), store_(std::move(store)), db_(db) {}

StoredNetwork::~StoredNetwork() {
    stop();
}

int StoredNetwork::load(std::chrono::milliseconds batchDelay) {
    NetworkIdentity id;
    if (store_->loadIdentity(id)) {
        stored_ = id;
    }
    const std::vector<StoredNode> nodes = store_->loadNodes();
    for (const StoredNode& n : nodes) {
        heardBefore_[n.ieee] = n.lastHeard;
    }
    registrations_ = store_->loadRegistrations();
    const RestoreCount count = restoreNodes(db_, nodes);
    std::fprintf(stderr, "Storage: %d nodes loaded from %s", count.restored, path_.c_str());
    if (count.skipped > 0) {
        std::fprintf(stderr, " (%d stored nodes could not be read back and were left out)",
                     count.skipped);
    }
    std::fprintf(stderr, ", %zu registrations to make again\n", registrations_.size());
    writer_ = std::make_unique<StoreWriter>(
        *store_, [this](uint16_t nwk) { return storedNode(db_, nwk, &heardBefore_); }, batchDelay,
        [this](const std::string& error) { writeFailed(error); });
    StoreWriter* writer = writer_.get();
    db_.setChangeCallback([writer](unsigned short nwk, unsigned) { writer->markDirty(nwk); });
    db_.setKeepNodesAcrossStarts(true);
    return count.restored;
}

bool StoredNetwork::networkUp(const NetworkIdentity& id) {
    if (!writer_) {
        return false;
    }
    bool dropped = false;
    if (stored_ && *stored_ != id) {
        const int nodes = db_.getDBNodesSize() - (db_.getRoot() != nullptr ? 1 : 0);
        std::fprintf(stderr,
                     "Storage: the network started (%s) is not the stored one (%s): its %d "
                     "stored nodes are dropped\n",
                     describe(id).c_str(), describe(*stored_).c_str(), nodes);
        db_.clearAllButRoot();
        dropped = true;
    }
    if (!stored_ || *stored_ != id) {
        queue([id](NodeStore& s) { return s.writeIdentity(id); });
        stored_ = id;
    }
    return dropped;
}

void StoredNetwork::registrationKept(const StoredRegistration& r) {
    queue([r](NodeStore& s) { return s.writeRegistration(r); });
}

void StoredNetwork::registrationForgotten(const std::string& id) {
    queue([id](NodeStore& s) { return s.removeRegistration(id); });
}

void StoredNetwork::queue(StoreWriter::StoreJob job) {
    if (writer_ && !writer_->writeLater(std::move(job))) {
        writeFailed("too many changes wait to be written; a registration change is lost");
    }
}

void StoredNetwork::stop() {
    if (!writer_) {
        return;
    }
    db_.setChangeCallback(nullptr);
    db_.setKeepNodesAcrossStarts(false);
    writer_->stop();
    writer_.reset();
}

void StoredNetwork::writeFailed(const std::string& error) {
    std::lock_guard<std::mutex> lock(failureMutex_);
    const auto now = std::chrono::steady_clock::now();
    ++failuresSinceLine_;
    if (lastFailureLine_ && now - *lastFailureLine_ < kFailureLinePeriod) {
        return;
    }
    std::fprintf(stderr,
                 "Storage: writing %s failed (%s; %d failed writes since the last line): the "
                 "changes are kept in memory and written again, the gateway goes on\n",
                 path_.c_str(), error.c_str(), failuresSinceLine_);
    lastFailureLine_ = now;
    failuresSinceLine_ = 0;
}
