#include "ManagementCore.h"

void buildLeavePayload(const unsigned char* ieee, bool removeChildren, bool rejoin,
                       unsigned char out[10]) {
    out[0] = 0;
    for (int i = 0; i < 8; ++i) {
        out[1 + i] = ieee != nullptr ? ieee[7 - i] : 0;
    }
    out[9] = static_cast<unsigned char>((removeChildren ? 0x40 : 0) | (rejoin ? 0x80 : 0));
}
