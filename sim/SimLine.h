// The module's transmit side of the serial line, with the line faults a test can ask for.
//
// Every packet the module sends is framed here and queued with the time (microseconds of the
// emulator's clock) it is due on the wire. Faults change what leaves: dropped, duplicated or
// corrupted frames, missing checksums, garbage bytes, a delay on every answer, and pacing (a gap
// after every byte, or the time a byte takes at a given baud rate). Order is kept: a delayed or
// slow frame holds back the ones after it. A paced frame stays one queue entry; its bytes fall
// due one by one as they are taken, so a flood of paced frames costs no more than unpaced ones.
// Not thread-safe: owned by the emulator's loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "SimFrame.h"

namespace zbsim {

class Line {
  public:
    // Frames p (applying the pending faults) and queues it for nowUs plus the current delay.
    void submit(const Packet& p, int64_t nowUs);
    // Queues raw bytes at once (behind what is already queued).
    void garbage(const std::vector<uint8_t>& bytes, int64_t nowUs);
    // Moves the bytes due at nowUs to out, at most maxBytes of them. Each frame whose last byte
    // is among them (not garbage) is added to frames, when given, with the size out had once
    // the frame's last byte was in it.
    void takeDue(int64_t nowUs, std::vector<uint8_t>& out, size_t maxBytes = SIZE_MAX,
                 std::vector<std::pair<size_t, std::vector<uint8_t>>>* frames = nullptr);
    // When the next byte not yet taken is due (INT64_MAX: none queued).
    int64_t nextDueUs() const;
    // Forgets every byte due at nowUs (nobody reads the line); returns how many.
    size_t discardDue(int64_t nowUs);
    void clearQueue() {
        queue_.clear();
        tailUs_ = 0;
    }

    void corruptNext(int n) { corrupt_ = n; }
    // The next n frames go out with the byte at offset inverted (0 the start byte, 3 the length,
    // 4.. the payload); the checksum is computed over the corrupted frame unless offset is the
    // checksum itself.
    void corruptByteNext(int n, int offset) {
        corruptByte_ = n;
        corruptOffset_ = offset;
    }
    void dropNext(int n) { drop_ = n; }
    void duplicateNext(int n) { duplicate_ = n; }
    void omitNextChecksum() { omitFcs_ = 1; }
    void setDelayMs(int ms) { delayMs_ = ms; }
    // Bytes leave one at a time, gapUs apart (0: frames leave whole).
    void setByteGapUs(int gapUs) { gapUs_ = gapUs; }
    // Each byte takes as long as at this baud rate with 8N1 framing (0: no limit).
    void setBaud(int baud) { baud_ = baud; }
    void clearFaults() {
        corrupt_ = corruptByte_ = drop_ = duplicate_ = omitFcs_ = delayMs_ = gapUs_ = baud_ = 0;
    }

    int delayMs() const { return delayMs_; }
    uint64_t framesSent() const { return sent_; }
    uint64_t framesDropped() const { return dropped_; }
    uint64_t bytesOut() const { return bytesOut_; }

    // What the last submit did to its frame ("", "dropped", "corrupted", "no checksum", ...).
    const char* lastFault() const { return lastFault_; }

  private:
    // Bytes queued together: byte k (from 0) is due at dueOf(k). Unpaced: all at start.
    struct Item {
        int64_t start;
        std::vector<uint8_t> bytes;
        int baud = 0;
        int gapUs = 0;
        bool frame = true;  // false: garbage
        size_t taken = 0;   // bytes already moved out
        int64_t dueOf(size_t k) const;
        // How many bytes (from 0) are due at nowUs.
        size_t dueCount(int64_t nowUs) const;
    };
    void enqueue(std::vector<uint8_t> bytes, int64_t readyUs, bool frame);
    std::deque<Item> queue_;
    int64_t tailUs_ = 0;  // when the last queued byte is due
    int corrupt_ = 0;
    int corruptByte_ = 0;
    int corruptOffset_ = 0;
    int drop_ = 0;
    int duplicate_ = 0;
    int omitFcs_ = 0;
    int delayMs_ = 0;
    int gapUs_ = 0;
    int baud_ = 0;
    uint64_t sent_ = 0;
    uint64_t dropped_ = 0;
    uint64_t bytesOut_ = 0;
    const char* lastFault_ = "";
};

}  // namespace zbsim
