#include "StoredNodeCodec.h"

#include <mutex>
#include <string>

#include "ZbNetDb.h"

namespace {

constexpr uint8_t kLayout = 1;

class Writer {
  public:
    Writer() { out_.push_back(static_cast<char>(kLayout)); }
    Writer& u8(unsigned v) {
        out_.push_back(static_cast<char>(v & 0xFF));
        return *this;
    }
    Writer& u16(unsigned v) { return u8(v).u8(v >> 8); }
    std::string take() { return std::move(out_); }

  private:
    std::string out_;
};

// Reads a part back; every read past its end or a wrong layout marks it bad.
class Reader {
  public:
    explicit Reader(const std::string& in) : in_(in) { good_ = u8() == kLayout; }
    unsigned u8() {
        if (at_ >= in_.size()) {
            good_ = false;
            return 0;
        }
        return static_cast<unsigned char>(in_[at_++]);
    }
    unsigned u16() {
        const unsigned low = u8();
        return low | u8() << 8;
    }
    bool bit(unsigned bits, int n) { return (bits >> n & 1) != 0; }
    // Read to the end, exactly.
    bool done() const { return good_ && at_ == in_.size(); }
    bool good() const { return good_; }

  private:
    const std::string& in_;
    size_t at_ = 0;
    bool good_ = true;
};

std::string encode(const NodeDescriptor& d) {
    const unsigned flags = d.alternatePANcoordinator | d.devicetype << 1 | d.powersource << 2 |
                           d.receiveronwhenidle << 3 | d.securytycapability << 4 | d.filled << 5;
    return Writer()
        .u8(d.logicaltype)
        .u8(d.APSflags)
        .u8(d.frequencyband)
        .u8(d.mac_cap)
        .u8(flags)
        .u16(d.manufacturecode)
        .u8(d.maximumbuffersize)
        .u16(d.maximumtransfersize)
        .u16(d.server_mask)
        .take();
}

bool decode(const std::string& in, NodeDescriptor& d) {
    Reader r(in);
    const unsigned type = r.u8();
    d.APSflags = static_cast<unsigned char>(r.u8());
    const unsigned band = r.u8();
    d.mac_cap = static_cast<unsigned char>(r.u8());
    const unsigned flags = r.u8();
    d.manufacturecode = static_cast<unsigned short>(r.u16());
    d.maximumbuffersize = static_cast<unsigned char>(r.u8());
    d.maximumtransfersize = static_cast<unsigned short>(r.u16());
    d.server_mask = static_cast<unsigned short>(r.u16());
    if (!r.done() || type > UNKNOWN_LOGICALTYPE ||
        (band != UNKNOWN_VALUE && band != F868_868D6 && band != F902_928 && band != F2400_2483D5)) {
        return false;
    }
    d.logicaltype = static_cast<enum_logicaltype>(type);
    d.frequencyband = static_cast<enum_frequencyband>(band);
    d.alternatePANcoordinator = r.bit(flags, 0);
    d.devicetype = r.bit(flags, 1);
    d.powersource = r.bit(flags, 2);
    d.receiveronwhenidle = r.bit(flags, 3);
    d.securytycapability = r.bit(flags, 4);
    d.filled = r.bit(flags, 5);
    return true;
}

unsigned threeBits(const bool (&b)[3]) {
    return b[0] | b[1] << 1 | b[2] << 2;
}

std::string encode(const PowerDescriptor& p) {
    return Writer()
        .u8(p.currentpowermode)
        .u8(threeBits(p.avaiablepowersource))
        .u8(threeBits(p.currentpowersource))
        .u8(p.currentpowersourcelevel)
        .u8(p.filled)
        .take();
}

bool decode(const std::string& in, PowerDescriptor& p) {
    Reader r(in);
    const unsigned mode = r.u8();
    const unsigned available = r.u8();
    const unsigned current = r.u8();
    const unsigned level = r.u8();
    const unsigned filled = r.u8();
    const bool modeKnown = mode <= WHENSTIMULATED || mode == UNKNOWN_POWERMODE;
    const bool levelKnown = level == CRITICAL || level == P33 || level == P66 || level == P100 ||
                            level == UNKNOWN_PSLEVEL;
    if (!r.done() || !modeKnown || !levelKnown || filled > 1) {
        return false;
    }
    p.currentpowermode = static_cast<enum_currentpowermode>(mode);
    p.currentpowersourcelevel = static_cast<enum_currentpowersourcelevel>(level);
    for (int i = 0; i < 3; ++i) {
        p.avaiablepowersource[i] = r.bit(available, i);
        p.currentpowersource[i] = r.bit(current, i);
    }
    p.filled = filled != 0;
    return true;
}

std::string encode(const SimpleDescriptor& s) {
    Writer w;
    w.u8(static_cast<unsigned>(s.end_point))
        .u16(static_cast<unsigned>(s.profile_id))
        .u16(static_cast<unsigned>(s.device_id))
        .u8(static_cast<unsigned>(s.device_ver))
        .u8(s.complex_desc_available | s.user_desc_available << 1);
    for (const std::list<int>* clusters : {&s.input_cluster, &s.output_cluster}) {
        w.u8(static_cast<unsigned>(clusters->size()));
        for (int c : *clusters) {
            w.u16(static_cast<unsigned>(c));
        }
    }
    return w.take();
}

bool decode(const std::string& in, SimpleDescriptor& s) {
    Reader r(in);
    s.end_point = static_cast<int>(r.u8());
    s.profile_id = static_cast<int>(r.u16());
    s.device_id = static_cast<int>(r.u16());
    s.device_ver = static_cast<int>(r.u8());
    const unsigned flags = r.u8();
    s.complex_desc_available = r.bit(flags, 0);
    s.user_desc_available = r.bit(flags, 1);
    for (std::list<int>* clusters : {&s.input_cluster, &s.output_cluster}) {
        clusters->clear();
        for (unsigned n = r.u8(); n > 0 && r.good(); --n) {
            clusters->push_back(static_cast<int>(r.u16()));
        }
    }
    return r.done();
}

// The neighbour list (network addresses) and the LQI table.
struct Neighbours {
    std::vector<uint16_t> nwk;
    std::vector<LQIInformationEntry> lqi;
};

std::string encodeNeighbours(const Node& node) {
    Writer w;
    w.u16(static_cast<unsigned>(node.neighbor.size()));
    for (const Node* n : node.neighbor) {
        w.u16(n->get_nwk_addr());
    }
    int size = 0;
    const LQIInformationEntry* table = node.getLQIInformationTable(&size);
    w.u8(static_cast<unsigned>(size));
    for (int i = 0; i < size; ++i) {
        const LQIInformationEntry& e = table[i];
        w.u16(e.shortAddress);
        for (unsigned char b : e.ieeeAddress) {
            w.u8(b);
        }
        w.u8(e.devTypeRxOnRelation).u8(e.depth).u8(e.lqi);
    }
    return w.take();
}

bool decode(const std::string& in, Neighbours& out) {
    Reader r(in);
    for (unsigned n = r.u16(); n > 0 && r.good(); --n) {
        out.nwk.push_back(static_cast<uint16_t>(r.u16()));
    }
    const unsigned entries = r.u8();
    if (entries > MAX_LQI_ENTRIES) {
        return false;
    }
    for (unsigned i = 0; i < entries && r.good(); ++i) {
        LQIInformationEntry e;
        e.shortAddress = static_cast<unsigned short>(r.u16());
        for (unsigned char& b : e.ieeeAddress) {
            b = static_cast<unsigned char>(r.u8());
        }
        e.devTypeRxOnRelation = static_cast<unsigned char>(r.u8());
        e.depth = static_cast<unsigned char>(r.u8());
        e.lqi = static_cast<unsigned char>(r.u8());
        out.lqi.push_back(e);
    }
    return r.done();
}

// A stored node with every part decoded.
struct Decoded {
    NodeDescriptor node;
    PowerDescriptor power;
    std::vector<SimpleDescriptor> simple;
    Neighbours neighbours;
};

bool decode(const StoredNode& in, Decoded& out) {
    if (!decode(in.nodeDescriptor, out.node) || !decode(in.powerDescriptor, out.power) ||
        !decode(in.neighbourTable, out.neighbours)) {
        return false;
    }
    for (const auto& [endPoint, bytes] : in.simpleDescriptors) {
        SimpleDescriptor sd;
        if (!decode(bytes, sd) || sd.end_point != endPoint) {
            return false;
        }
        out.simple.push_back(std::move(sd));
    }
    return true;
}

}  // namespace

uint64_t ieeeNumber(const unsigned char* ieee) {
    uint64_t n = 0;
    for (int i = 0; i < 8; ++i) {
        n = n << 8 | ieee[i];
    }
    return n;
}

void ieeeBytes(uint64_t number, unsigned char* ieee) {
    for (int i = 7; i >= 0; --i) {
        ieee[i] = static_cast<unsigned char>(number & 0xFF);
        number >>= 8;
    }
}

std::optional<StoredNode> storedNode(ZbNetDb& db, uint16_t nwk,
                                     const std::map<uint64_t, int64_t>* heardBefore) {
    std::lock_guard<std::recursive_mutex> lock(db.mutex());
    const Node* node = db.findNodeByNwkAddr(nwk);
    if (node == nullptr || node == db.getRoot() || ieeeNumber(node->get_ieee_addr()) == 0) {
        return std::nullopt;
    }
    StoredNode out;
    out.ieee = ieeeNumber(node->get_ieee_addr());
    out.nwk = nwk;
    out.nodeDescriptor = encode(node->node_desc);
    out.powerDescriptor = encode(node->power_desc);
    for (int ep : node->endpoints) {
        out.endPoints.push_back(static_cast<uint8_t>(ep));
        if (const SimpleDescriptor* sd = node->getSimpleDescr(ep)) {
            out.simpleDescriptors[static_cast<uint8_t>(ep)] = encode(*sd);
        }
    }
    out.neighbourTable = encodeNeighbours(*node);
    out.active = node->isActive;
    out.lastHeard = node->nodeTimer > 0 ? node->nodeTimer : 0;
    if (out.lastHeard == 0 && heardBefore != nullptr) {
        const auto before = heardBefore->find(out.ieee);
        out.lastHeard = before != heardBefore->end() ? before->second : 0;
    }
    return out;
}

RestoreCount restoreNodes(ZbNetDb& db, const std::vector<StoredNode>& nodes) {
    RestoreCount count;
    std::lock_guard<std::recursive_mutex> lock(db.mutex());
    std::vector<std::pair<Node*, std::vector<uint16_t>>> links;
    for (const StoredNode& stored : nodes) {
        Decoded d;
        unsigned char ieee[8];
        ieeeBytes(stored.ieee, ieee);
        if (stored.ieee == 0 || !decode(stored, d) || db.findNodeByIEEEAddr(ieee) != nullptr) {
            ++count.skipped;
            continue;
        }
        auto* node = new Node(stored.nwk, ieee);
        if (!db.addNode(node)) {
            delete node;
            ++count.skipped;
            continue;
        }
        db.addTranslationEntry(stored.nwk, ieee);
        db.setNodeDescriptor(node, d.node);
        db.setPowerDescriptor(node, d.power);
        for (uint8_t ep : stored.endPoints) {
            db.addEndPoint(node, ep);
        }
        for (SimpleDescriptor& sd : d.simple) {
            db.addSimpleDescr(node, new SimpleDescriptor(std::move(sd)));
        }
        for (const LQIInformationEntry& e : d.neighbours.lqi) {
            db.updateLQIInformation(node, e.shortAddress, e.ieeeAddress, e.devTypeRxOnRelation,
                                    e.depth, e.lqi);
        }
        db.setActive(node, stored.active);
        links.emplace_back(node, std::move(d.neighbours.nwk));
        ++count.restored;
    }
    // Neighbours once every node is in: a list may name a node stored after it.
    for (const auto& [node, neighbours] : links) {
        for (uint16_t nwk : neighbours) {
            Node* other = db.findNodeByNwkAddr(nwk);
            if (other != nullptr && other != node) {
                db.addNeighbor(node, other);
            }
        }
    }
    return count;
}
