// The module's transmit side of the serial line, with the line faults a test can ask for.
//
// Every packet the module sends is framed here and queued with the time (microseconds of the
// emulator's clock) it is due on the wire. Faults change what leaves: dropped, duplicated or
// corrupted frames, missing checksums, garbage bytes, a delay on every answer, and pacing (a gap
// after every byte, or the time a byte takes at a given baud rate). Order is kept: a delayed or
// slow frame holds back the ones after it. Not thread-safe: owned by the emulator's loop thread.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "SimFrame.h"

namespace zbsim {

class Line {
  public:
    // Frames p (applying the pending faults) and queues it for nowUs plus the current delay.
    void submit(const Packet& p, int64_t nowUs);
    // Queues raw bytes at once (behind what is already queued).
    void garbage(const std::vector<uint8_t>& bytes, int64_t nowUs);
    // Moves the bytes due at nowUs to out.
    void takeDue(int64_t nowUs, std::vector<uint8_t>& out);
    int64_t nextDueUs() const;
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
    struct Item {
        int64_t due;
        std::vector<uint8_t> bytes;
    };
    void enqueue(std::vector<uint8_t> bytes, int64_t readyUs);
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
