// Document composition on the HTTP path: the node list of a large network (alone and as the
// whole success reply), the version reply that every GET /version composes, the gateway
// descriptor sent to status listeners, and the query-string reading of every request.
// Run: build-bench/bench/xml_micro (scripts/bench --micro runs it).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "CQueryParser.h"
#include "GWManagement.h"
#include "XMLProcessor.h"
#include "ZbNetDb.h"

namespace {

// `count` active nodes besides the root, with generated addresses.
void fill(ZbNetDb& db, int count) {
    for (int i = 0; i <= count; ++i) {
        const uint8_t ieee[8] = {0x00,
                                 0x12,
                                 0x4B,
                                 0x01,
                                 0x00,
                                 0x00,
                                 static_cast<uint8_t>(i >> 8),
                                 static_cast<uint8_t>(i)};
        Node* node = db.nodeAnnounce(static_cast<unsigned short>(i), ieee, 0x08);
        if (node != nullptr) {
            db.setActive(node, true);
        }
    }
}

void BM_NodeListDocument(benchmark::State& state) {
    ZbNetDb db;
    fill(db, static_cast<int>(state.range(0)));
    XMLMsgComposer composer;
    composer.enableNamespaces(true);
    size_t bytes = 0;
    for (auto _ : state) {
        std::string doc = composer.createWSNNodesListMsg(0, &db);
        bytes = doc.size();
        benchmark::DoNotOptimize(doc.data());
    }
    state.SetItemsProcessed(state.iterations() * (state.range(0) + 1));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_NodeListDocument)->Arg(200)->Arg(1000)->Arg(5000);

// What a GET of the node list in cache mode composes: the list inside the success document.
void BM_NodeListReply(benchmark::State& state) {
    ZbNetDb db;
    fill(db, static_cast<int>(state.range(0)));
    XMLMsgComposer composer;
    composer.enableNamespaces(true);
    for (auto _ : state) {
        const std::string list = composer.createWSNNodesListMsg(0, &db);
        std::string reply = composer.createSuccessMsg(list.c_str(), nullptr, nullptr);
        benchmark::DoNotOptimize(reply.data());
    }
    state.SetItemsProcessed(state.iterations() * (state.range(0) + 1));
}
BENCHMARK(BM_NodeListReply)->Arg(1000);

void BM_VersionReply(benchmark::State& state) {
    XMLMsgComposer composer;
    composer.enableNamespaces(true);
    for (auto _ : state) {
        const std::string version = composer.createVersionMsg();
        std::string reply = composer.createSuccessMsg(version.c_str(), nullptr, nullptr);
        benchmark::DoNotOptimize(reply.data());
    }
}
BENCHMARK(BM_VersionReply);

void BM_GatewayDescriptor(benchmark::State& state) {
    GwDescriptor descriptor;
    descriptor.setWSNId("0000000000000000");
    descriptor.setGwState(3);
    XMLMsgComposer composer;
    for (auto _ : state) {
        std::string doc = composer.createGwStatusChangedMsg(&descriptor);
        benchmark::DoNotOptimize(doc.data());
    }
}
BENCHMARK(BM_GatewayDescriptor);

// The query of a node-list request: the parameters a handler looks up one by one.
void BM_QueryParameters(benchmark::State& state) {
    QueryParser parser;
    const char* query = "inquiry&timeout=ea60&urilistener=http://127.0.0.1:9100/inquiry";
    for (auto _ : state) {
        std::string value;
        benchmark::DoNotOptimize(parser.getParameter("mode", query, value));
        benchmark::DoNotOptimize(parser.isParameterPresent("inquiry", query));
        benchmark::DoNotOptimize(parser.getParameter("urilistener", query, value));
    }
}
BENCHMARK(BM_QueryParameters);

}  // namespace

BENCHMARK_MAIN();
