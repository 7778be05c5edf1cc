#ifndef ORQ_TESTS_UNIT_NODE_TESTNODES_H
#define ORQ_TESTS_UNIT_NODE_TESTNODES_H

#include "ZbNetDb.h"

// The IEEE address tests give the node `nwk`: a fixed prefix, then the short address.
inline void testNodeIeee(unsigned short nwk, unsigned char out[8]) {
    const unsigned char ieee[8] = {0,
                                   0x12,
                                   0x4B,
                                   0,
                                   0,
                                   0,
                                   static_cast<unsigned char>(nwk >> 8),
                                   static_cast<unsigned char>(nwk)};
    for (int i = 0; i < 8; ++i) {
        out[i] = ieee[i];
    }
}

// A node announced to `db` (receiver on when idle or sleepy), then set active or not and given
// its keep-alive time stamp.
inline Node* addTestNode(ZbNetDb* db, unsigned short nwk, bool rxOn, bool active, long stamp) {
    unsigned char ieee[8];
    testNodeIeee(nwk, ieee);
    Node* n = db->nodeAnnounce(nwk, ieee, rxOn ? 8 : 0);
    db->setActive(n, active);
    n->setKANodeTimer(stamp);
    return n;
}

#endif
