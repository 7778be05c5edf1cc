// The service agent's receive path, where an indication is matched to what clients asked for:
// the sender looked up in the network database, the record built, cached for the end point and
// handed to its connection, and run through the filtered callbacks. Run: build-bench/bench/
// message_micro (scripts/bench --micro runs it).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "CServiceAgent.h"
#include "ConfigurationRepository.h"
#include "QuietMain.h"
#include "TimerThread.h"

namespace {

// Stands where the broker stands: counts what it is handed.
struct Client {
    long notified = 0;
    void* callback_RspCb(int, int, RPCReqStatus*) { return nullptr; }
    void* callback_NtfCb(int, Message* m, RPCReqStatus*) {
        ++notified;
        benchmark::DoNotOptimize(m->getPayload());
        return nullptr;
    }
};
using SA = ServiceAgent<Client>;

struct Setup {
    std::string path = "/tmp/message_micro.ini";
    std::unique_ptr<ConfigurationRepository> config;
    ManualTimerClock clock;
    std::unique_ptr<OrqZbIf> zb;
    std::unique_ptr<SA> agent;
    Client client;
    const uint8_t lightIeee[8] = {0x00, 0x12, 0x4B, 0, 0, 0, 0x11, 0x01};

    // Running, the light known, a connection on end point 8 and `callbacks` filtered callbacks
    // on all end points (half of them for the light, half for another sender).
    explicit Setup(int callbacks) {
        std::ofstream(path) << "[main]\n";
        config = std::make_unique<ConfigurationRepository>(path);
        config->load();
        zb = std::make_unique<OrqZbIf>(config.get());
        zb->init();
        agent = std::make_unique<SA>(zb.get(), config.get(), &clock);
        agent->init();
        SimpleDescriptor sd;
        ZbNetDb::createDefaultSimpleDescr(8, &sd);
        agent->addService(&sd, nullptr);
        zb->setGWStatus(GW_RUNNING, 0);
        zb->getDb()->nodeAnnounce(0x1101, lightIeee, 0x8E);
        SA::CallbackCtxt ctx(1, &client, &Client::callback_RspCb, &Client::callback_NtfCb);
        agent->createCallback(8, &ctx);
        for (int i = 0; i < callbacks; ++i) {
            Callback cb;
            cb.internalId = i;
            cb.filter.isDefined = cb.filter.addressSpec.isDefined = true;
            cb.filter.addressSpec.isNWKSourceAddressDefined = true;
            cb.filter.addressSpec.NWKSourceAddress = i % 2 ? 0x1101 : 0x2222;
            agent->createCallback(&cb, &ctx);
        }
    }
    ~Setup() { std::remove(path.c_str()); }
};

// One 20-byte attribute report from the light to end point 8 per iteration.
void BM_IndicationToConnection(benchmark::State& state) {
    Setup s(static_cast<int>(state.range(0)));
    uint8_t dst[2] = {0, 0};
    uint8_t from[2] = {0x01, 0x11};
    uint8_t asdu[20] = {0x18, 0x01, 0x0A, 0x00, 0x00, 0x41, 13};
    // dst mode/address/ep, src mode/address/ep, profile, cluster, payload, length
    const ZbDataIndication ind{2, dst, 8, 2, from, 1, 0x0104, 0x0402, asdu, sizeof asdu};
    for (auto _ : state)
        s.agent->messageReceived_Cb(ind);
    state.SetItemsProcessed(state.iterations());
    state.counters["notified"] =
        static_cast<double>(s.client.notified) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_IndicationToConnection)->Arg(0)->Arg(4)->Arg(32);

}  // namespace

int main(int argc, char** argv) {
    return quietBenchmarkMain(argc, argv);
}
