// Throughput of the emulator's hot paths: reading a large network file, and serial frames
// through decoder, module and encoder. Run: build/bench/zbsim_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "SimModule.h"

namespace {
// A network of n nodes: routers of eight children each, every third child a light.
std::string writeNetwork(int n) {
    char path[] = "/tmp/zbsim_benchXXXXXX";
    int fd = mkstemp(path);
    close(fd);
    std::ofstream f(path);
    f << "[module]\nieee = 00124B0000000001\n";
    for (int i = 1; i <= n; ++i) {
        int parent = i <= 8 ? 0 : (i - 1) / 8;
        char ieee[17];
        std::snprintf(ieee, sizeof ieee, "00124B01%08X", i);
        f << "[n" << i << "]\nieee = " << ieee << "\nshort = " << i << "\nparent = " << parent
          << "\ntype = router\nendpoints = 1\n"
          << "ep1 = profile=0x0104 device=0x0100 version=1 in=0x0000,0x0006 out=\n"
          << (i % 3 == 0 ? "app = light\n" : "");
    }
    return path;
}

// Loads the 200-node network into net; the file is gone again once it is read.
void loadNetwork(zbsim::Network& net) {
    std::string path = writeNetwork(200);
    std::string err;
    net.load(path, err);
    std::remove(path.c_str());
}

// Feeds the framed request to the module once per iteration: decoder, dispatch and answers.
void feedFrames(benchmark::State& state, zbsim::Module& module, const std::vector<uint8_t>& wire) {
    zbsim::FrameDecoder decoder;
    std::vector<zbsim::Packet> packets;
    int64_t now = 0;
    for (auto _ : state) {
        packets.clear();
        decoder.feed(wire.data(), wire.size(), packets);
        for (const auto& p : packets)
            module.receive(p, ++now);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_LoadNetwork(benchmark::State& state) {
    std::string path = writeNetwork(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        zbsim::Network net;
        std::string err;
        if (!net.load(path, err))
            state.SkipWithError(err.c_str());
        benchmark::DoNotOptimize(net.size());
    }
    std::remove(path.c_str());
}
BENCHMARK(BM_LoadNetwork)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);

// On/off toggles to a light: each request frame gives a data confirm and a default response.
void BM_DataRequestFrames(benchmark::State& state) {
    zbsim::Network net;
    loadNetwork(net);
    size_t outBytes = 0;
    zbsim::Module module(net,
                         [&](const zbsim::Packet& p) { outBytes += zbsim::encodeFrame(p).size(); });
    module.receive(zbsim::Packet(0xA3, 0xE7, {0xC0, 0, 0}), 0);
    std::vector<uint8_t> payload{0x02, 0x03, 0x00, 0,    0,    0,    0,    0,    0,    0x01, 0x04,
                                 0x01, 0x06, 0x00, 0x08, 0x00, 0x01, 0x10, 0x02, 0x00, 0x1E};
    feedFrames(state, module, zbsim::encodeFrame(zbsim::Packet(0x9C, 0x00, payload)));
    state.counters["out_bytes_per_frame"] =
        static_cast<double>(outBytes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DataRequestFrames);

// Management LQI requests to a router: a data indication and the 3-entry response per request.
void BM_LqiRequestFrames(benchmark::State& state) {
    zbsim::Network net;
    loadNetwork(net);
    zbsim::Module module(
        net, [](const zbsim::Packet& p) { benchmark::DoNotOptimize(zbsim::encodeFrame(p)); });
    module.receive(zbsim::Packet(0xA3, 0xE7, {0xC0, 0, 0}), 0);
    feedFrames(state, module, zbsim::encodeFrame(zbsim::Packet(0xA2, 0x31, {0x03, 0x00, 0x00})));
}
BENCHMARK(BM_LqiRequestFrames);
}  // namespace

BENCHMARK_MAIN();
