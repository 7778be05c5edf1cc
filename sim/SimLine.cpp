#include "SimLine.h"

#include <algorithm>
#include <climits>

namespace zbsim {

int64_t Line::Item::dueOf(size_t k) const {
    // At a baud rate a byte has left when its ten bit times (start bit, 8 data bits, stop bit)
    // are over; with a gap, bytes leave gapUs apart.
    if (baud > 0)
        return start + static_cast<int64_t>(k + 1) * 10000000 / baud;
    return start + static_cast<int64_t>(k) * gapUs;
}

size_t Line::Item::dueCount(int64_t nowUs) const {
    if (nowUs < dueOf(taken))
        return taken;
    if (nowUs >= dueOf(bytes.size() - 1))
        return bytes.size();
    // The last due byte k satisfies dueOf(k) <= nowUs; computed, then checked against dueOf
    // (integer division rounds the closed form).
    int64_t elapsed = nowUs - start;
    int64_t k = baud > 0 ? elapsed * baud / 10000000 - 1 : elapsed / gapUs;
    size_t n =
        static_cast<size_t>(std::clamp<int64_t>(k + 1, 0, static_cast<int64_t>(bytes.size())));
    while (n < bytes.size() && dueOf(n) <= nowUs)
        ++n;
    while (n > taken && dueOf(n - 1) > nowUs)
        --n;
    return std::max(n, taken);
}

void Line::enqueue(std::vector<uint8_t> bytes, int64_t readyUs, bool frame) {
    if (bytes.empty())
        return;
    Item item{std::max(readyUs, tailUs_), std::move(bytes), baud_, baud_ > 0 ? 0 : gapUs_, frame};
    size_t last = item.bytes.size() - 1;
    tailUs_ = item.dueOf(last) + item.gapUs;
    queue_.push_back(std::move(item));
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
        enqueue(f, ready, true);
    }
    enqueue(std::move(f), ready, true);
}

void Line::garbage(const std::vector<uint8_t>& bytes, int64_t nowUs) {
    enqueue(bytes, nowUs, false);
}

void Line::takeDue(int64_t nowUs, std::vector<uint8_t>& out, size_t maxBytes,
                   std::vector<std::pair<size_t, std::vector<uint8_t>>>* frames) {
    while (!queue_.empty() && maxBytes > 0) {
        Item& it = queue_.front();
        size_t due = it.dueCount(nowUs);
        if (due - it.taken > maxBytes)
            due = it.taken + maxBytes;
        if (due == it.taken)
            break;
        out.insert(out.end(), it.bytes.begin() + static_cast<std::ptrdiff_t>(it.taken),
                   it.bytes.begin() + static_cast<std::ptrdiff_t>(due));
        bytesOut_ += due - it.taken;
        maxBytes -= due - it.taken;
        it.taken = due;
        if (due < it.bytes.size())
            break;
        if (frames && it.frame)
            frames->emplace_back(out.size(), std::move(it.bytes));
        queue_.pop_front();
    }
}

size_t Line::discardDue(int64_t nowUs) {
    std::vector<uint8_t> gone;
    takeDue(nowUs, gone);
    bytesOut_ -= gone.size();
    return gone.size();
}

int64_t Line::nextDueUs() const {
    return queue_.empty() ? INT64_MAX : queue_.front().dueOf(queue_.front().taken);
}

}  // namespace zbsim
