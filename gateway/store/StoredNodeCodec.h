#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "NodeStore.h"

class Node;
class ZbNetDb;

// Between the node database and the store: what a node is written as, and how the stored
// nodes come back. Each part is kept in a small byte layout of its own, led by its version;
// a part that does not decode (a damaged or foreign file) makes its node skipped, never half
// restored.

// The stored form of the node under `nwk`; nothing when the database does not hold it, when
// it is not identified yet (no IEEE address to key it by), or when it is the gateway itself
// (the module, not the file, tells who the gateway is). A node not heard from since it was
// restored keeps the time it was last heard before (`heardBefore`, by IEEE address).
std::optional<StoredNode> storedNode(ZbNetDb& db, uint16_t nwk,
                                     const std::map<uint64_t, int64_t>* heardBefore = nullptr);

struct RestoreCount {
    int restored = 0;
    int skipped = 0;  // a part did not decode, or the address was already held
};

// Adds the stored nodes to the database, with their descriptors, end points, neighbours and
// LQI tables, as not yet heard from (the keep-alive confirms them or finds them dead).
RestoreCount restoreNodes(ZbNetDb& db, const std::vector<StoredNode>& nodes);

// The IEEE address as one number, its first byte the most significant (as it is written).
uint64_t ieeeNumber(const unsigned char* ieee);
void ieeeBytes(uint64_t number, unsigned char* ieee);
