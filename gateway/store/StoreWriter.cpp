#include "StoreWriter.h"

#include <iterator>
#include <utility>
#include <vector>

StoreWriter::StoreWriter(NodeStore& store, Snapshot snapshot, std::chrono::milliseconds delay,
                         FailureReport onFailure)
    : store_(store),
      snapshot_(std::move(snapshot)),
      delay_(delay),
      onFailure_(std::move(onFailure)),
      written_ieee_(store_.loadAddresses()) {
    thread_ = std::thread([this] { run(); });
}

StoreWriter::~StoreWriter() {
    stop();
}

void StoreWriter::markDirty(uint16_t nwk) {
    std::lock_guard<std::mutex> lock(mutex_);
    dirty_.insert(nwk);
    if (!due_) {
        due_ = std::chrono::steady_clock::now() + delay_;
        wake_.notify_one();
    }
}

void StoreWriter::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
        return;
    }
    const uint64_t ticket = ++flushRequests_;
    wake_.notify_one();
    written_.wait(lock, [&] { return flushesDone_ >= ticket; });
}

void StoreWriter::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) {
            return;
        }
        stopping_ = true;
        wake_.notify_one();
    }
    thread_.join();
}

bool StoreWriter::writeLater(StoreJob fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.size() >= kMaxJobs) {
        return false;
    }
    jobs_.push_back(std::move(fn));
    if (!due_) {
        due_ = std::chrono::steady_clock::now() + delay_;
        wake_.notify_one();
    }
    return true;
}

uint64_t StoreWriter::batches() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return batches_;
}

void StoreWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const bool flushAsked = flushRequests_ > flushesDone_;
        if (stopping_ || flushAsked || (due_ && std::chrono::steady_clock::now() >= *due_)) {
            const uint64_t answered = flushRequests_;
            writeBatch(lock);
            flushesDone_ = answered;
            written_.notify_all();
            if (stopping_) {
                return;
            }
            continue;
        }
        if (due_) {
            wake_.wait_until(lock, *due_);
        } else {
            wake_.wait(lock);
        }
    }
}

// Called with the lock held; drops it while the snapshots are taken and the file written, so
// marks go on arriving meanwhile.
void StoreWriter::writeBatch(std::unique_lock<std::mutex>& lock) {
    std::set<uint16_t> batch;
    batch.swap(dirty_);
    std::deque<StoreJob> jobs;
    jobs.swap(jobs_);
    due_.reset();
    if (batch.empty() && jobs.empty()) {
        return;
    }
    std::map<uint16_t, uint64_t> known = written_ieee_;
    lock.unlock();
    std::vector<StoredNode> nodes;
    std::vector<uint64_t> gone;
    for (uint16_t nwk : batch) {
        if (std::optional<StoredNode> n = snapshot_(nwk)) {
            known[nwk] = n->ieee;
            nodes.push_back(std::move(*n));
        } else if (const auto found = known.find(nwk); found != known.end()) {
            gone.push_back(found->second);
            known.erase(found);
        }
    }
    while (!jobs.empty() && jobs.front()(store_)) {
        jobs.pop_front();
    }
    const bool jobDone = jobs.empty();
    const bool nodesDone = batch.empty() || store_.write(nodes, gone);
    if ((!jobDone || !nodesDone) && onFailure_) {
        onFailure_(store_.error());
    }
    lock.lock();
    // What failed goes first again, before what came meanwhile.
    jobs_.insert(jobs_.begin(), std::make_move_iterator(jobs.begin()),
                 std::make_move_iterator(jobs.end()));
    if (nodesDone) {
        written_ieee_ = std::move(known);
        if (!batch.empty()) {
            ++batches_;
        }
    } else {
        // Kept dirty: the next batch tries again.
        dirty_.insert(batch.begin(), batch.end());
    }
    if ((!jobDone || !nodesDone) && !due_) {
        due_ = std::chrono::steady_clock::now() + delay_;
    }
}
