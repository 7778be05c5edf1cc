// Frame decode through the ZigBee layer's receive path: the frame assembler (start byte,
// header, check byte) over bytes as the line hands them, then the packet decoder's dispatch of
// a data indication into the callback table. Run: build-bench/bench/frame_micro
// (scripts/bench --micro runs it).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "QuietMain.h"
#include "zb_conn.h"
#include "zigbee.h"
#include "zigbee_local.h"

namespace {

using Bytes = std::vector<uchar>;

// A data indication from the light to end point 8 carrying a 20-byte report: 41 bytes framed.
Bytes indicationPacket() {
    Bytes p{0x9D, 0x01, 36,   0x02, 0x00, 0x00, 0x08, 0x02, 0x01, 0x11, 0x01, 0x04, 0x01, 0x02,
            0x04, 20,   0x18, 0x01, 0x0A, 0x00, 0x00, 0x41, 13,   0,    0,    0,    7};
    p.resize(3 + 36 - 3, 0);
    p.push_back(200);  // link quality
    p.push_back(0);    // was broadcast
    p.push_back(0);    // security status
    return p;
}

// The frame as the module sends it, made by the gateway's own encoder.
Bytes framed(const Bytes& pkt) {
    uchar frame[MC13226_TX_BUFFER];
    int n = freescale_build_frame(pkt.data(), frame);
    return Bytes(frame, frame + n);
}

// Bytes of a buffer, at most `chunk` per read, as a line hands them over.
struct Source {
    const Bytes* bytes;
    size_t at = 0;
    int chunk;
    static int read(void* ctx, uchar* p, int n) {
        auto* s = static_cast<Source*>(ctx);
        if (s->at == s->bytes->size())
            return MC13226_ABORTED;
        size_t k = std::min(
            {static_cast<size_t>(n), static_cast<size_t>(s->chunk), s->bytes->size() - s->at});
        std::memcpy(p, s->bytes->data() + s->at, k);
        s->at += k;
        return static_cast<int>(k);
    }
};

// 64 frames back to back assembled per iteration, read `range(0)` bytes at a time (1: a byte
// per read, as a reader that wakes for every byte of a paced line).
void BM_AssembleFrames(benchmark::State& state) {
    Bytes one = framed(indicationPacket());
    Bytes line;
    for (int i = 0; i < 64; ++i)
        line.insert(line.end(), one.begin(), one.end());
    uchar buf[MC13226_RX_BUFFER];
    for (auto _ : state) {
        MC13226_reset_receiver();
        Source s{&line, 0, static_cast<int>(state.range(0))};
        int frames = 0;
        while (MC13226_assemble({&Source::read, &s}, buf) > 0)
            ++frames;
        if (frames != 64)
            state.SkipWithError("a frame was lost");
    }
    state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_AssembleFrames)->Arg(1)->Arg(512);

long indications = 0;
void onIndication(ZBIF_HANDLE, uchar, uchar*, uchar, uchar, uchar*, uchar, ushort, ushort,
                  ushort asduLen, uchar* asdu, uchar, uchar) {
    benchmark::DoNotOptimize(asdu[asduLen - 1]);
    ++indications;
}

// One data indication through the decoder's table into the callback per iteration (with the
// indication's trace, formatted as the gateway formats it).
void BM_DecodeDataIndication(benchmark::State& state) {
    static ZBIFCbs_t cbs{};
    cbs.APSDE_DATA_indication = onIndication;
    zb_conn_status_t conn{};
    zbif_status_t handle{};
    handle.zbifCbs = &cbs;
    handle.zbifFuncs = &zbFreescaleFunctions;
    handle.zb_conn_h = &conn;
    handle.zbifReceiveCb = FREESCALE_ReceiveCb;
    FREESCALE_ResetState();
    Bytes pkt = indicationPacket();
    indications = 0;
    for (auto _ : state)
        FREESCALE_ParseNExec(&handle, pkt.data(), static_cast<int>(pkt.size()));
    if (indications != state.iterations())
        state.SkipWithError("an indication did not reach the callback");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeDataIndication);

}  // namespace

int main(int argc, char** argv) {
    return quietBenchmarkMain(argc, argv);
}
