#include "CDiscoveryAgent.h"

#include <cstring>

void decodeNodeDescriptor(const ZB_NODE_DESC& in, NodeDescriptor* out, int* badLogicalType,
                          int* badFrequency) {
    *badLogicalType = -1;
    *badFrequency = -1;
    const int logical = in.logical_type;
    if (logical <= ENDDEVICE) {
        out->logicaltype = static_cast<enum_logicaltype>(logical);
    } else {
        out->logicaltype = UNKNOWN_LOGICALTYPE;
        *badLogicalType = logical;
    }
    out->APSflags = in.aps_flags;
    const int band = in.freq_band;
    if (band == F868_868D6 || band == F902_928 || band == F2400_2483D5) {
        out->frequencyband = static_cast<enum_frequencyband>(band);
    } else {
        out->frequencyband = UNKNOWN_VALUE;
        *badFrequency = band;
    }
    out->mac_cap = in.mac_cap;
    out->alternatePANcoordinator = (in.mac_cap & 0x01) != 0;
    out->devicetype = (in.mac_cap & 0x02) != 0;
    out->powersource = (in.mac_cap & 0x04) != 0;
    out->receiveronwhenidle = (in.mac_cap & 0x08) != 0;
    out->securytycapability = (in.mac_cap & 0x40) != 0;
    out->manufacturecode = in.manifact_code;
    out->maximumbuffersize = in.max_buf_size;
    out->maximumtransfersize = in.max_transf_size;
    out->server_mask = in.server_mask;
    out->filled = true;
}

void decodePowerDescriptor(const ZB_POWER_DESC& in, PowerDescriptor* out, int* badMode,
                           int* badLevel) {
    *badMode = -1;
    *badLevel = -1;
    const int mode = in.curr_pw_mode;
    if (mode <= WHENSTIMULATED) {
        out->currentpowermode = static_cast<enum_currentpowermode>(mode);
    } else {
        out->currentpowermode = UNKNOWN_POWERMODE;
        *badMode = mode;
    }
    // Bit 0 constant mains, bit 1 rechargeable battery, bit 2 disposable battery.
    for (int i = 0; i < 3; ++i) {
        out->avaiablepowersource[i] = (in.avail_pw_src >> i) & 1;
        out->currentpowersource[i] = (in.curr_pw_src >> i) & 1;
    }
    const int level = in.curr_pw_src_level;
    if (level == CRITICAL || level == P33 || level == P66 || level == P100) {
        out->currentpowersourcelevel = static_cast<enum_currentpowersourcelevel>(level);
    } else {
        out->currentpowersourcelevel = UNKNOWN_PSLEVEL;
        *badLevel = level;
    }
    out->filled = true;
}

int pingJitterSeconds(unsigned short nwk, int threshold) {
    const int window = threshold / 4;
    if (window <= 0) {
        return 0;
    }
    // A multiplicative hash spreads neighbouring addresses over the whole window.
    const unsigned int h = static_cast<unsigned int>(nwk) * 2654435761u;
    return static_cast<int>((h >> 16) % static_cast<unsigned int>(window + 1));
}

bool isRealIeee(const unsigned char* ieee) {
    static const unsigned char zeros[8] = {0};
    static const unsigned char ones[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    return std::memcmp(ieee, zeros, 8) != 0 && std::memcmp(ieee, ones, 8) != 0;
}
