#ifndef ORQ_TESTS_SERVICE_DATAINDICATION_H
#define ORQ_TESTS_SERVICE_DATAINDICATION_H

#include <cstdint>

#include "ZbEvents.h"

// A data indication to the module (destination mode 2) as the adapter hands it over.
inline ZbDataIndication indication(const uint8_t* dst, uint8_t dstEp, uint8_t srcMode,
                                   const uint8_t* src, uint8_t srcEp, uint16_t profile,
                                   uint16_t cluster, const uint8_t* payload, uint16_t length) {
    ZbDataIndication ind;
    ind.dstAddrMode = 2;
    ind.dstAddr = dst;
    ind.dstEp = dstEp;
    ind.srcAddrMode = srcMode;
    ind.srcAddr = src;
    ind.srcEp = srcEp;
    ind.profileId = profile;
    ind.clusterId = cluster;
    ind.payload = payload;
    ind.payloadLength = length;
    return ind;
}

#endif
