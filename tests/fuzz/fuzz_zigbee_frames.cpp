// Arbitrary serial bytes through the frame assembler, and every assembled packet (plus the raw
// input taken as one packet) through the decoder with a callback table that reads what it is
// given. Run under AddressSanitizer and UBSan. The assembler's packets are checked against the
// framing rules: each one was framed in the input after a start byte of its own, and either
// carried a matching check byte or (outside every dropped frame) was directly followed by the
// next start byte.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "zigbee.h"
#include "zigbee_local.h"

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

int readInput(void* ctx, uchar* p, int n) {
    Input* in = static_cast<Input*>(ctx);
    if (in->pos >= in->size) {
        return MC13226_LINK_LOST;
    }
    size_t take = in->size - in->pos;
    if (take > static_cast<size_t>(n)) {
        take = static_cast<size_t>(n);
    }
    memcpy(p, in->data + in->pos, take);
    in->pos += take;
    return static_cast<int>(take);
}

volatile unsigned sink;

void touch(const uchar* p, int n) {
    for (int i = 0; p != nullptr && i < n; i++) {
        sink += p[i];
    }
}

int discardWrite(int, const unsigned char* data, int size) {
    touch(data, size);
    return 0;
}

ZBIFCbs_t makeCbs() {
    ZBIFCbs_t c = {};
    c.ZDO_RESET_confirm = [](ZBIF_HANDLE, uchar s, uchar r) { sink += s + r; };
    c.ZDO_START_confirm = [](ZBIF_HANDLE, uchar s, ushort n) { sink += s + n; };
    c.ZDO_NWK_ADDR_confirm = [](ZBIF_HANDLE, uchar, uchar* ieee, ushort, uchar n, uchar,
                                ushort* l) {
        touch(ieee, 8);
        for (int i = 0; l && i < n; i++) {
            sink += l[i];
        }
    };
    c.ZDO_IEEE_ADDR_confirm = c.ZDO_NWK_ADDR_confirm;
    c.ZB_MGMT_LQI_response = [](ZBIF_HANDLE, uchar, uchar* a, uchar* d) {
        touch(a, 2);
        // As the adapter does: header, then list-count entries of 22 bytes.
        touch(d, 5 + 22 * d[4]);
    };
    c.ZDO_NODE_DESC_confirm = [](ZBIF_HANDLE, uchar, ushort, ZB_NODE_DESC* nd) {
        touch(reinterpret_cast<uchar*>(nd), sizeof(*nd));
    };
    c.ZDO_POWER_DESC_confirm = [](ZBIF_HANDLE, uchar, ushort, ZB_POWER_DESC* pd) {
        touch(reinterpret_cast<uchar*>(pd), sizeof(*pd));
    };
    c.ZDO_SIMPLE_DESC_confirm = [](ZBIF_HANDLE, uchar, ushort, ZB_SIMPLE_DESC* sd) {
        for (int i = 0; i < sd->app_in_cluster_count; i++) {
            sink += sd->app_in_cluster_list[i];
        }
        for (int i = 0; i < sd->app_out_cluster_count; i++) {
            sink += sd->app_out_cluster_list[i];
        }
    };
    c.ZDO_ACTIVE_EP_DESC_confirm = [](ZBIF_HANDLE, uchar, ushort, uchar n, uchar* l) {
        touch(l, n);
    };
    c.ZDO_MATCH_DESC_confirm = c.ZDO_ACTIVE_EP_DESC_confirm;
    c.ZDO_END_DEVICE_BIND_confirm = [](ZBIF_HANDLE, uchar s) { sink += s; };
    c.ZDO_DEVICE_ANNCE_indication = [](ZBIF_HANDLE, ushort, uchar* ieee, uchar) { touch(ieee, 8); };
    c.ZIGBEE_STACK_STATUS_indication = c.ZDO_END_DEVICE_BIND_confirm;
    c.APSDE_DATA_confirm = [](ZBIF_HANDLE, uchar, uchar* a, uchar, uchar, uchar) { touch(a, 8); };
    c.APSDE_DATA_indication = [](ZBIF_HANDLE, uchar, uchar* d, uchar, uchar, uchar* s, uchar,
                                 ushort, ushort, ushort n, uchar* asdu, uchar, uchar) {
        touch(d, 2);
        touch(s, 2);
        touch(asdu, n);
    };
    c.ZDP_MGMT_BIND_response = [](ZBIF_HANDLE, uchar, ushort, ushort, ushort n, ZB_BIND_STRUCT* l) {
        touch(reinterpret_cast<uchar*>(l), n * static_cast<int>(sizeof(ZB_BIND_STRUCT)));
    };
    c.APSME_BIND_confirm = [](ZBIF_HANDLE, uchar, uchar* s, uchar, ushort, uchar* d, uchar) {
        touch(s, 8);
        touch(d, 8);
    };
    c.ZDP_BIND_response = c.ZDO_END_DEVICE_BIND_confirm;
    c.ZDP_UNBIND_response = c.ZDO_END_DEVICE_BIND_confirm;
    c.APSME_GET_confirm = [](ZBIF_HANDLE, uchar, uchar, uchar n, uchar* v) { touch(v, n); };
    c.APSME_SET_confirm = [](ZBIF_HANDLE, uchar s, uchar a) { sink += s + a; };
    c.MGMT_PERMIT_JOINING_response = c.ZDO_END_DEVICE_BIND_confirm;
    c.MGMT_LEAVE_response = c.ZDO_END_DEVICE_BIND_confirm;
    c.MGMT_LEAVE_confirm = [](ZBIF_HANDLE, uchar* ieee, uchar) { touch(ieee, 8); };
    c.ZDO_ERROR_confirm = [](ZBIF_HANDLE, uchar s, ushort, uchar) { sink += s; };
    return c;
}

// The packets the framing rules allow from `in`, in order, walking the input as a whole: a
// start byte opens a frame of its length byte + 5 bytes; a good check byte delivers it; a start
// byte in the check byte's place delivers it too (the check byte was lost) unless the frame
// begins inside a dropped one; otherwise the frame is dropped and the walk goes on at the next
// start byte after its own. A frame the input does not complete delivers nothing.
std::vector<std::vector<uchar>> framedPackets(const uint8_t* in, size_t n) {
    std::vector<std::vector<uchar>> out;
    size_t pos = 0;
    size_t droppedEnd = 0;  // the end of the furthest frame dropped so far
    while (pos < n) {
        if (in[pos] != STX) {
            pos++;
            continue;
        }
        if (pos + 4 > n) {
            break;
        }
        size_t end = pos + in[pos + 3] + 5;
        if (end > n) {
            break;
        }
        uchar fcs = 0;
        for (size_t i = pos + 1; i < end - 1; i++) {
            fcs ^= in[i];
        }
        bool good = fcs == in[end - 1];
        if (good || (in[end - 1] == STX && pos >= droppedEnd)) {
            out.emplace_back(in + pos + 1, in + end - 1);
            pos = good ? end : end - 1;
            continue;
        }
        droppedEnd = std::max(droppedEnd, end);
        pos++;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The link traces everything to standard output; keep the fuzzer's output readable.
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        return 0;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ZBIFCbs_t cbs = makeCbs();
    zb_conn_status_t conn{};
    conn.write = discardWrite;
    conn.handle = 1;
    zbif_status_t handle{};
    handle.zbifCbs = &cbs;
    handle.zbifFuncs = &zbFreescaleFunctions;
    handle.zb_conn_h = &conn;
    FREESCALE_ResetState();
    MC13226_reset_receiver();

    // The input taken as one packet, exactly as long as it is.
    if (size > 0) {
        uchar* copy = new uchar[size];
        memcpy(copy, data, size);
        FREESCALE_ParseNExec(&handle, copy, static_cast<int>(size));
        delete[] copy;
    }

    // The input as a byte stream through the assembler, each packet into the decoder.
    Input in = {data, size, 0};
    MC13226_ByteSource src = {readInput, &in};
    uchar packet[300];
    std::vector<std::vector<uchar>> delivered;
    for (int guard = 0; guard < 4096; guard++) {
        int n = MC13226_assemble(src, packet);
        if (n < 0) {
            break;
        }
        delivered.emplace_back(packet, packet + n);
        uchar* exact = new uchar[n];
        memcpy(exact, packet, n);
        FREESCALE_ParseNExec(&handle, exact, n);
        delete[] exact;
    }
    if (delivered != framedPackets(data, size)) {
        fprintf(stderr, "frame assembler: %zu packets delivered, not the framed ones\n",
                delivered.size());
        abort();
    }
    return 0;
}
