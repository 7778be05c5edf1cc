// The zbsim process: a pseudo-terminal standing in for the module's serial port, exposed under a
// symlink, and a UNIX-domain control socket, served by one poll loop on the calling thread.
// Everything (module, network, line, control clients) is owned and touched by that thread only;
// stop() may be called from a signal handler or another thread (it writes to a pipe).
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "SimControl.h"
#include "SimLine.h"
#include "SimModule.h"
#include "SimNetwork.h"
#include "SimResetLine.h"

namespace zbsim {

struct EmulatorOptions {
    std::string networkFile;
    std::string linkPath;
    std::string controlPath;
    bool trace = false;
    int rebootMs = -1;  // -1: the network file's value
    bool realistic = false;
    uint64_t seed = 1;
    // Time stands still until a `tick` command moves it (for tests that must not depend on
    // how fast the machine is).
    bool manualClock = false;
    // The board's reset line (empty: none): "reset" written to it resets the module.
    std::string resetLinePath;
};

class Emulator {
  public:
    explicit Emulator(EmulatorOptions opts);
    ~Emulator();

    // Loads the network, creates the pseudo-terminal, the symlink and the socket.
    bool open(std::string& err);
    // Serves until stop(); returns the exit status (0 after a clean stop).
    int run();
    void stop();

    const std::string& slavePath() const { return slavePath_; }
    Network& network() { return net_; }

  private:
    struct Client {
        int fd;
        std::string in;
        std::string out;
    };
    bool openPty(std::string& err);
    void closePty();
    bool openControl(std::string& err);
    void onLineReadable(int64_t now);
    void flushLine(int64_t nowUs);
    void onAccept();
    bool onClient(Client& c, int64_t now);
    void unplug(int returnAfterMs, int64_t now);
    void checkResetLine();
    // Brings everything due up to nowUs about, in order: module actions, the return of an
    // unplugged device, the line. False when the device cannot come back.
    bool runUntil(int64_t nowUs);
    int64_t clockUs() const;
    void setNow(int64_t us) {
        nowUs_ = us;
        now_ = us / 1000;
    }
    void traceOut(const Packet& p, const char* fault);
    // The time-stamped frame record (`stamps on FILE`): one line per frame of interest, written
    // to a buffered file; `stamps off` flushes and closes it.
    bool stampsOn(const std::string& path, const std::vector<uint16_t>& opcodes, std::string& err);
    void stampsOff();
    // bytes: the packet from its opcode group on (at least group and id).
    void stamp(int64_t us, const char* dir, const uint8_t* bytes, size_t n);
    void cleanup();

    EmulatorOptions opts_;
    Network net_;
    std::unique_ptr<Module> module_;
    Line line_;
    std::unique_ptr<Controller> control_;
    ResetLine resetLine_;
    FrameDecoder decoder_;
    int master_ = -1;
    int slave_ = -1;
    int listen_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::string slavePath_;
    std::vector<Client> clients_;
    std::vector<uint8_t> outBuf_;  // taken from the line, not yet accepted by the pty
    uint64_t written_ = 0;         // bytes the pty accepted since the line opened
    int64_t stalledSinceUs_ = -1;  // the pty has accepted nothing since then
    FILE* stamps_ = nullptr;
    std::vector<uint16_t> stampOpcodes_;  // empty: every frame
    // Frames taken from the line that are still (partly) in outBuf_: where each ends, counted
    // in the line's bytes as written_ is, and its bytes.
    std::deque<std::pair<uint64_t, std::vector<uint8_t>>> unstamped_;
    std::vector<std::pair<size_t, std::vector<uint8_t>>> taken_;
    int64_t replugAt_ = -1;  // ms
    int64_t now_ = 0;        // ms, what the module sees
    int64_t nowUs_ = 0;      // what the line sees
    int64_t manualUs_ = 0;
    bool trace_ = false;
    bool linkCreated_ = false;
    bool socketCreated_ = false;
};

int64_t monotonicUs();

}  // namespace zbsim
