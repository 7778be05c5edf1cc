// The module's transmit side of the serial line, with the line faults a test can ask for.
//
// Every packet the module sends is framed here and queued with the time it is due on the wire.
// Faults change what leaves: dropped frames, corrupted or missing checksums, garbage bytes, a
// delay on every answer. Order is kept: a delayed frame holds back the ones after it. Not
// thread-safe: owned by the emulator's loop thread.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "SimFrame.h"

namespace zbsim {

class Line {
  public:
    // Frames p (applying the pending faults) and queues it for nowMs plus the current delay.
    void submit(const Packet& p, int64_t nowMs);
    // Queues raw bytes at once (behind what is already queued).
    void garbage(const std::vector<uint8_t>& bytes, int64_t nowMs);
    // Moves the bytes due at nowMs to out.
    void takeDue(int64_t nowMs, std::vector<uint8_t>& out);
    int64_t nextDueMs() const;
    void clearQueue() { queue_.clear(); }

    void corruptNext(int n) { corrupt_ = n; }
    void dropNext(int n) { drop_ = n; }
    void omitNextChecksum() { omitFcs_ = 1; }
    void setDelayMs(int ms) { delayMs_ = ms; }
    void clearFaults() { corrupt_ = drop_ = omitFcs_ = delayMs_ = 0; }

    int pendingCorrupt() const { return corrupt_; }
    int pendingDrop() const { return drop_; }
    int delayMs() const { return delayMs_; }
    uint64_t framesSent() const { return sent_; }
    uint64_t framesDropped() const { return dropped_; }

    // What the last submit did to its frame ("", "dropped", "corrupted", "no checksum").
    const char* lastFault() const { return lastFault_; }

  private:
    struct Item {
        int64_t due;
        std::vector<uint8_t> bytes;
    };
    void enqueue(std::vector<uint8_t> bytes, int64_t due);
    std::deque<Item> queue_;
    int corrupt_ = 0;
    int drop_ = 0;
    int omitFcs_ = 0;
    int delayMs_ = 0;
    uint64_t sent_ = 0;
    uint64_t dropped_ = 0;
    const char* lastFault_ = "";
};

}  // namespace zbsim
