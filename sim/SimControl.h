// The control protocol of zbsim: one command per line, one answer line ("ok ..." or
// "error: ..."). Controller runs commands against the network, the module and the line; what
// only the emulator can do (unplugging, the trace switch) goes through the hooks it is given.
// Runs on the emulator's loop thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "SimLine.h"
#include "SimModule.h"
#include "SimNetwork.h"

namespace zbsim {

struct Command {
    std::string verb;
    std::vector<std::string> args;
};

constexpr size_t kMaxCommandLine = 1024;

// Splits a line into a lower-case verb and its arguments. Empty lines and lines longer than
// kMaxCommandLine are refused.
bool parseCommand(const std::string& line, Command& cmd, std::string& err);

class Controller {
  public:
    struct Hooks {
        std::function<void(int returnAfterMs)> unplug;  // -1: stays unplugged
        std::function<void(bool on)> trace;
        // Moves a manual clock on by ms and runs what falls due; returns the new time in ms,
        // or -1 when the clock is not manual.
        std::function<int64_t(int ms)> tick;
        std::function<uint64_t()> lineBytes;  // bytes written to the line so far
        // The time-stamped frame record to path, only for these opcodes (group << 8 | id;
        // empty: every frame); false with the reason when the file cannot be written.
        std::function<bool(const std::string& path, const std::vector<uint16_t>& opcodes,
                           std::string& why)>
            stampsOn;
        std::function<void()> stampsOff;
        // The line stops (true) or resumes taking the gateway's bytes; false when it cannot.
        std::function<bool(bool on)> stall;
    };

    Controller(Network& net, Module& module, Line& line, Hooks hooks)
        : net_(net), module_(module), line_(line), hooks_(std::move(hooks)) {}

    // Runs one command line and returns the answer line (without the newline).
    std::string execute(const std::string& line, int64_t nowMs);

  private:
    std::string run(const Command& c, int64_t nowMs);
    std::string fault(const Command& c, int64_t nowMs);
    std::string moduleFault(const Command& c, int64_t nowMs);
    std::string send(const Command& c, Node& n, int64_t nowMs);
    std::string flood(const Command& c, int64_t nowMs);
    std::string stamps(const Command& c);
    std::string describe(Node& n, int64_t nowMs);
    Network& net_;
    Module& module_;
    Line& line_;
    Hooks hooks_;
    uint32_t floodSeq_ = 0;  // the number the next flooded report carries
};

}  // namespace zbsim
