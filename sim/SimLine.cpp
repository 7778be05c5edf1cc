#include "SimLine.h"

#include <climits>

namespace zbsim {

void Line::enqueue(std::vector<uint8_t> bytes, int64_t due) {
    if (!queue_.empty() && queue_.back().due > due)
        due = queue_.back().due;
    if (!queue_.empty() && queue_.back().due == due) {
        auto& b = queue_.back().bytes;
        b.insert(b.end(), bytes.begin(), bytes.end());
        return;
    }
    queue_.push_back(Item{due, std::move(bytes)});
}

void Line::submit(const Packet& p, int64_t nowMs) {
    lastFault_ = "";
    if (drop_ > 0) {
        --drop_;
        ++dropped_;
        lastFault_ = "dropped";
        return;
    }
    std::vector<uint8_t> f = encodeFrame(p);
    if (f.empty())
        return;
    if (corrupt_ > 0) {
        --corrupt_;
        f.back() ^= 0xFF;
        lastFault_ = "corrupted";
    } else if (omitFcs_ > 0) {
        --omitFcs_;
        f.pop_back();
        lastFault_ = "no checksum";
    }
    ++sent_;
    // Time stamps are whole milliseconds rounded down: count one more so that a delayed frame
    // never leaves sooner than the delay after it was produced.
    enqueue(std::move(f), delayMs_ > 0 ? nowMs + delayMs_ + 1 : nowMs);
}

void Line::garbage(const std::vector<uint8_t>& bytes, int64_t nowMs) {
    enqueue(bytes, nowMs);
}

void Line::takeDue(int64_t nowMs, std::vector<uint8_t>& out) {
    while (!queue_.empty() && queue_.front().due <= nowMs) {
        auto& b = queue_.front().bytes;
        out.insert(out.end(), b.begin(), b.end());
        queue_.pop_front();
    }
}

int64_t Line::nextDueMs() const {
    return queue_.empty() ? INT64_MAX : queue_.front().due;
}

}  // namespace zbsim
