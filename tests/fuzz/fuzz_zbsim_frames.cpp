// Raw serial bytes into the emulator's frame decoder and module, with the demo network formed;
// then the same bytes as control lines. Every answer must frame cleanly, be of a group the
// module sends, and come off the line exactly as sent; every command answers ok or error.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "SimControl.h"

namespace {
zbsim::Network* demoNetwork() {
    static zbsim::Network* net = [] {
        auto* n = new zbsim::Network;
        std::string err;
        if (!n->load(ZBSIM_DEMO_NETWORK, err))
            std::abort();
        return n;
    }();
    return net;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zbsim::Network net = *demoNetwork();
    zbsim::Line line;
    std::vector<zbsim::Packet> sent;
    zbsim::Module module(net, [&](const zbsim::Packet& p) {
        if (zbsim::encodeFrame(p).empty())
            std::abort();  // an answer too large for a frame
        // The module sends only the groups of its confirms, indications and events.
        static const uint8_t kGroups[] = {0x50, 0x97, 0x98, 0x9D, 0xA0, 0xA4};
        if (std::find(std::begin(kGroups), std::end(kGroups), p.group) == std::end(kGroups))
            std::abort();
        sent.push_back(p);
        line.submit(p, 0);
    });
    module.receive(zbsim::Packet(0xA3, 0x0B, {0x08, 0x04, 0x01, 0x05, 0x00, 0x00, 0x00, 0x00}), 0);
    module.receive(zbsim::Packet(0xA3, 0xE7, {0xC0, 0x00, 0x00}), 0);
    zbsim::FrameDecoder decoder;
    std::vector<zbsim::Packet> packets;
    decoder.feed(data, size, packets);
    // Also every prefix of the input taken as a packet, so that short and odd payloads reach
    // every handler without needing a valid checksum.
    if (size >= 2)
        packets.emplace_back(data[0], data[1],
                             std::vector<uint8_t>(data + 2, data + std::min<size_t>(size, 252)));
    int64_t now = 0;
    for (const auto& p : packets)
        module.receive(p, now += 10);
    module.runDue(now + 3600 * 1000);
    // Without line faults, the bytes on the line frame back into exactly the packets sent.
    std::vector<uint8_t> out;
    line.takeDue(INT64_MAX - 1, out);
    std::vector<zbsim::Packet> back;
    zbsim::FrameDecoder check;
    check.feed(out.data(), out.size(), back);
    if (back != sent)
        std::abort();

    zbsim::Controller ctl(net, module, line, {});
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        std::string answer = ctl.execute(text.substr(start, nl - start), now);
        if (answer.rfind("ok", 0) != 0 && answer.rfind("error: ", 0) != 0)
            std::abort();  // every command answers ok or error
        start = nl + 1;
    }
    module.runDue(now + 7200 * 1000);
    line.takeDue(INT64_MAX - 1, out);
    return 0;
}
