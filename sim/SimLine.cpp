#include "SimLine.h"

#include <algorithm>
#include <climits>

namespace zbsim {

void Line::enqueue(std::vector<uint8_t> bytes, int64_t readyUs) {
    int64_t start = std::max(readyUs, tailUs_);
    if (gapUs_ > 0 || baud_ > 0) {
        // One item per byte, each due when it has been on the wire: at a baud rate a byte takes
        // ten bit times (start bit, 8 data bits, stop bit); with a gap, bytes leave gapUs apart.
        for (size_t k = 0; k < bytes.size(); ++k) {
            int64_t due = baud_ > 0 ? start + static_cast<int64_t>(k + 1) * 10000000 / baud_
                                    : start + static_cast<int64_t>(k) * gapUs_;
            queue_.push_back(Item{due, {bytes[k]}});
            tailUs_ = due + (baud_ > 0 ? 0 : gapUs_);
        }
        return;
    }
    tailUs_ = start;
    if (!queue_.empty() && queue_.back().due == start) {
        auto& b = queue_.back().bytes;
        b.insert(b.end(), bytes.begin(), bytes.end());
        return;
    }
    queue_.push_back(Item{start, std::move(bytes)});
}

void Line::submit(const Packet& p, int64_t nowUs) {
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
    } else if (corruptByte_ > 0) {
        --corruptByte_;
        lastFault_ = "byte corrupted";
        size_t at = static_cast<size_t>(corruptOffset_);
        if (at < f.size()) {
            f[at] ^= 0xFF;
            if (at + 1 < f.size()) {
                uint8_t x = 0;
                for (size_t i = 1; i + 1 < f.size(); ++i)
                    x ^= f[i];
                f.back() = x;
            }
        }
    } else if (omitFcs_ > 0) {
        --omitFcs_;
        f.pop_back();
        lastFault_ = "no checksum";
    }
    ++sent_;
    // A delayed frame never leaves sooner than the delay after it was produced: the clock's
    // stamps are rounded down, so count one more microsecond.
    int64_t ready = delayMs_ > 0 ? nowUs + delayMs_ * 1000LL + 1 : nowUs;
    if (duplicate_ > 0) {
        --duplicate_;
        lastFault_ = "duplicated";
        enqueue(f, ready);
    }
    enqueue(std::move(f), ready);
}

void Line::garbage(const std::vector<uint8_t>& bytes, int64_t nowUs) {
    enqueue(bytes, nowUs);
}

void Line::takeDue(int64_t nowUs, std::vector<uint8_t>& out) {
    while (!queue_.empty() && queue_.front().due <= nowUs) {
        auto& b = queue_.front().bytes;
        bytesOut_ += b.size();
        out.insert(out.end(), b.begin(), b.end());
        queue_.pop_front();
    }
}

int64_t Line::nextDueUs() const {
    return queue_.empty() ? INT64_MAX : queue_.front().due;
}

}  // namespace zbsim
