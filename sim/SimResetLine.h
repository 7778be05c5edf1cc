// The board's reset line as zbsim offers it: a FIFO (made when the path does not exist) or a
// regular file. "reset" written to it resets the module as a power cycle would, hung or not.
// Owned and read by the emulator's poll loop only.
#pragma once

#include <string>

namespace zbsim {

class ResetLine {
  public:
    ResetLine() = default;
    ~ResetLine();
    ResetLine(const ResetLine&) = delete;
    ResetLine& operator=(const ResetLine&) = delete;

    // Opens the line at path: an existing FIFO or regular file, or a new FIFO.
    bool open(const std::string& path, std::string& err);
    bool isOpen() const { return fd_ >= 0; }
    // A FIFO is polled for POLLIN; a regular file has no readiness and is looked at every
    // checkEveryMs() milliseconds by the loop.
    int pollFd() const { return fifo_ ? fd_ : -1; }
    static constexpr int checkEveryMs() { return 100; }
    // Reads what was written since the last call (a file is emptied once read); true when a
    // "reset" came.
    bool takeReset();

  private:
    std::string path_;
    int fd_ = -1;
    bool fifo_ = false;
    bool created_ = false;
    std::string seen_;  // the tail of what was read, so that "re" + "set" still counts
};

}  // namespace zbsim
