#ifndef ORQ_TESTS_NODE_MODULEPEER_H
#define ORQ_TESTS_NODE_MODULEPEER_H

// The co-processor on the other side of a pseudo-terminal, for tests of the gateway's node
// layer: the emulator's module model (zbsim's Module and Network, in process) answers every
// frame the gateway writes, and every packet that crosses the line is recorded so a test can
// check what the gateway sent. Hooks let a test act on the module before a packet reaches it
// (for example make the next network start fail) or rewrite what the module answers.
// One thread serves the line; the module is only touched there.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimControl.h"
#include "SimFrame.h"
#include "SimLine.h"
#include "SimModule.h"
#include "SimNetwork.h"

class ModulePeer {
  public:
    using GatewayHook = std::function<void(const zbsim::Packet&, zbsim::Module&)>;
    using ModuleHook = std::function<void(zbsim::Packet&)>;

    ModulePeer() = default;
    ~ModulePeer();

    // Loads the network file and opens the pseudo-terminal; false with `err` on failure.
    bool open(const std::string& networkFile, std::string& err);
    void stop();

    // The device URL the gateway connects with.
    std::string deviceUrl() const { return "zigbee://" + slavePath + "?dongle=freescale"; }

    void onGatewayPacket(GatewayHook hook);
    void onModulePacket(ModuleHook hook);

    // Every packet the gateway has sent so far, in order.
    std::vector<zbsim::Packet> sent();
    size_t countSent(uint8_t group, uint8_t id);
    // Runs one zbsim control command (docs/zbsim.md) on the line thread; its answer line.
    // Line faults have no effect here: the peer writes frames itself.
    std::string control(const std::string& command);
    // Pulls the plug, as zbsim's `unplug` does: the line hangs up and the module loses power.
    // May be called from a hook.
    void unplug();
    // Runs `fn` on the line thread with the module and the network and waits for it.
    void withModule(const std::function<void(zbsim::Module&, zbsim::Network&)>& fn);

  private:
    void run();

    zbsim::Network net;
    std::unique_ptr<zbsim::Module> module;
    zbsim::FrameDecoder decoder;
    zbsim::Line line;  // only for the controller
    int master = -1;
    int slave = -1;
    int wake[2] = {-1, -1};
    std::string slavePath;
    std::thread thread;
    std::mutex mux;
    std::condition_variable cv;
    std::vector<zbsim::Packet> fromGateway;
    GatewayHook gatewayHook;
    ModuleHook moduleHook;
    std::vector<std::function<void()>> calls;
    bool stopping = false;
};

#endif
