#ifndef ORQ_ZBNETDB_H
#define ORQ_ZBNETDB_H

// The gateway's in-memory picture of the ZigBee network: the nodes with their descriptors,
// end points, neighbour tables and keep-alive bookkeeping; the network <-> IEEE address
// translation; the start-up attribute sets and the trust-centre link-key table; the simple
// descriptors of the gateway's own services. A stored copy, when configured, is kept by the
// store (gateway/store) from the change callback below.
//
// One instance, owned by the stack adapter (OrqZbIf::getDb()). It is used from the main
// thread, the serial reader thread, the agents' pool threads and the keep-alive thread:
// every operation takes the database's recursive mutex. A Node* or descriptor pointer
// handed out stays valid only while no other thread can remove the node; a caller that
// keeps one across several operations holds mutex() (a std::recursive_mutex) meanwhile.
//
// Every write of node data goes through ZbNetDb (Node's writers are private to it). The
// database keeps an IEEE address -> node index beside the network address map, so
// findNodeByIEEEAddr is a look-up, and it tells what changed: each node a write changes is
// one change, which raises changeCount() by one and is given to the change callback with the
// node's network address and the NodeChange bits of what changed. A write that changes nothing
// reports nothing. One operation reports each node it changed once, after it has finished, so
// the callback always sees the database consistent.
//
// The callback runs on the writer's thread with the database's mutex held (it may read the
// database) and often with the writer's own lock held too (an agent's mutex, taken before the
// database's). It must therefore return quickly, not throw, and take no other gateway lock nor
// wait for another thread; a consumer with more to do (a stored copy, a cached document) notes
// the address and does its work on a thread of its own. Writers are the serial reader thread
// (confirms and announcements), the agents' pools and paced senders, the keep-alive thread and
// the main thread (requests). After setChangeCallback() returns, no call of the previous callback
// is running on another thread.

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "zigbee.h"

class Debug;

enum enum_logicaltype { COORDINATOR = 0, ROUTER = 1, ENDDEVICE = 2, UNKNOWN_LOGICALTYPE = 3 };
enum enum_frequencyband { UNKNOWN_VALUE = 0, F868_868D6 = 1, F902_928 = 4, F2400_2483D5 = 8 };
enum enum_currentpowermode {
    SYNCHRONIZED_WITH_RECEIVERONWHENIDLE = 0,
    PERIODICALLYON = 1,
    WHENSTIMULATED = 2,
    UNKNOWN_POWERMODE = 10
};
enum enum_currentpowersourcelevel {
    CRITICAL = 0,
    P33 = 4,
    P66 = 8,
    P100 = 12,
    UNKNOWN_PSLEVEL = 20
};

// The node descriptor as the REST side sees it.
struct NodeDescriptor {
    enum_logicaltype logicaltype = UNKNOWN_LOGICALTYPE;
    unsigned char APSflags = 0;
    enum_frequencyband frequencyband = UNKNOWN_VALUE;
    unsigned char mac_cap = 0;
    bool alternatePANcoordinator = false;  // capability bit 0
    bool devicetype = false;               // bit 1
    bool powersource = false;              // bit 2
    bool receiveronwhenidle = false;       // bit 3; false marks a sleepy node
    bool securytycapability = false;       // bit 6
    unsigned short manufacturecode = 0;
    unsigned char maximumbuffersize = 0;
    unsigned short maximumtransfersize = 0;
    unsigned short server_mask = 0;
    bool filled = false;
};

struct PowerDescriptor {
    enum_currentpowermode currentpowermode = UNKNOWN_POWERMODE;
    bool avaiablepowersource[3] = {false, false, false};
    bool currentpowersource[3] = {false, false, false};
    enum_currentpowersourcelevel currentpowersourcelevel = UNKNOWN_PSLEVEL;
    bool filled = false;
};

struct SimpleDescriptor {
    int end_point = 0;
    int profile_id = 0;
    int device_id = 0;
    int device_ver = 0;
    bool complex_desc_available = false;
    bool user_desc_available = false;
    std::list<int> input_cluster;
    std::list<int> output_cluster;
};

// One neighbour as reported by a node's management LQI response.
struct LQIInformationEntry {
    unsigned short shortAddress = 0;
    unsigned char ieeeAddress[8] = {0};
    unsigned char devTypeRxOnRelation = 0;  // bits 0-1 device type, bit 2 rx on when idle
    unsigned char depth = 0;
    unsigned char lqi = 0;
};

constexpr int MAX_LQI_ENTRIES = 15;

// Keep-alive markers of Node::nodeTimer (otherwise a time stamp in seconds).
constexpr long KA_NO_TIMESTAMP = -1;
constexpr long KA_BEING_PINGED = 0;
constexpr long KA_UNKNOWN_TO_NETWORK = -4;

bool operator==(const NodeDescriptor& a, const NodeDescriptor& b);
bool operator==(const PowerDescriptor& a, const PowerDescriptor& b);
bool operator==(const SimpleDescriptor& a, const SimpleDescriptor& b);
bool operator==(const LQIInformationEntry& a, const LQIInformationEntry& b);

// One node of the database. What describes the node (addresses, descriptors, end points,
// simple descriptors, neighbours and LQI table, the active flag) is read through the public
// const members and getters below and written by ZbNetDb only, which indexes it and tells
// what changed (see ZbNetDb). A Node made by a reader for its own use (a snapshot of an
// address pair) is never in the database and is built complete by its constructor.
//
// The keep-alive bookkeeping (nodeTimer, numOfPingsDone, forcePingTimer) is liveness, not
// node data: it moves with every ping and every frame heard, no document shows it and no
// stored copy keeps it, so it stays writable here and its writes are neither counted nor
// reported. Its writers hold the database's mutex as for any access to a Node.
class Node {
  public:
    explicit Node(unsigned short nwk);
    Node(unsigned short nwk, const unsigned char* ieee);
    ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // Node data, read only (written through ZbNetDb).
    const NodeDescriptor& node_desc = mNodeDesc;
    const PowerDescriptor& power_desc = mPowerDesc;
    const int& currentLQIInformationTableSize = mLqiSize;
    const unsigned char (&ieee_addr)[8] = mIeee;
    const unsigned short& nwk_addr = mNwk;
    const std::list<Node*>& neighbor = mNeighbours;  // not owned
    const std::list<int>& endpoints = mEndPoints;
    const bool& isActive = mActive;
    const LQIInformationEntry (&LQIInformationTable)[MAX_LQI_ENTRIES] = mLqiTable;

    // Keep-alive bookkeeping (liveness, see above).
    long nodeTimer = KA_NO_TIMESTAMP;
    int numOfPingsDone = 0;
    long forcePingTimer = 0;

    const unsigned char* get_ieee_addr() const { return mIeee; }
    unsigned short get_nwk_addr() const { return mNwk; }
    const LQIInformationEntry* getLQIInformationTable(int* size) const;
    std::list<int> getEndPointList() const { return mEndPoints; }
    const SimpleDescriptor* getSimpleDescr(int endPoint) const;
    bool getIsActive() const { return mActive; }
    void setKANodeTimer(long t) { nodeTimer = t; }
    long getKANodeTimer() const { return nodeTimer; }
    void setnumOfPingsDone(int n) { numOfPingsDone = n; }
    int getnumOfPingsDone() const { return numOfPingsDone; }
    void setForcePingTimer(long t) { forcePingTimer = t; }
    long getForcePingTimer() const { return forcePingTimer; }
    void dump() const {}

  private:
    friend class ZbNetDb;

    void set_ieee_addr(const unsigned char* ieee);
    // Overwrites the entry with this short address, or appends while fewer than 15 are used.
    void updateLQIInformation(unsigned short shortAddress, const unsigned char* ieee,
                              unsigned char devTypeRxOnRelation, unsigned char depth,
                              unsigned char lqi);
    // Keeps only the entries whose short address is among the list's network addresses.
    void removeOldLQIInformation(const ZB_NEIGHBOR_TABLE_LIST* list, int count);

    NodeDescriptor mNodeDesc;
    PowerDescriptor mPowerDesc;
    int mLqiSize = 0;
    unsigned char mIeee[8] = {0};
    unsigned short mNwk;
    std::list<Node*> mNeighbours;
    std::list<int> mEndPoints;
    std::map<int, SimpleDescriptor*> mSimpleDescs;  // owned
    bool mActive = false;
    LQIInformationEntry mLqiTable[MAX_LQI_ENTRIES];
};

struct tcKeyTableEntry {
    int keyTableEntryIndex = 0;
    unsigned char ieeeAddress[8] = {0};
    unsigned char preconfiguredLinkKey[16] = {0};
};

// One start-up attribute set (index 0 is the default set from the configuration).
struct StartupAttributeInfo {
    int startupAttributeSetIndex = 0;
    int deviceType = 0;
    bool isDeviceTypeDefined = false;
    int protocolVersion = 0;
    unsigned short stackProfile = 0;
    unsigned long channelMask = 0;
    bool isChannelMaskDefined = false;
    unsigned char extendedPANId[8] = {0};
    unsigned short PANId = 0;
    unsigned short ShortAddress = 0;
    unsigned short TrustCenterAddress = 0;
    unsigned char* TrustCenterMasterKey = nullptr;  // not owned
    unsigned char networkKey[16] = {0};
    bool UseInsecureJoin = false;
    unsigned char preconfiguredLinkKey[16] = {0};
    int NetworkKeySeqNum = 0;
    int NetworkKeyType = 0;
    unsigned short NetworkManagerAddress = 0;
    unsigned short StartupControl = 0;
    bool isStartupControlDefined = false;
    int ScanAttempts = 0;
    unsigned int TimeBetweenScans = 0;
    unsigned int RejoinInterval = 0;
    unsigned int MaxRejoinInterval = 0;
    unsigned int IndirectPollRate = 0;
    unsigned int ParentRetryThreshold = 0;
    bool ConcentratorFlag = false;
    int ConcentratorRadius = 0;
    unsigned int ConcentratorDiscoveryTime = 0;
    int _securityLevel = 0;
};

// What a write changed in a node (bits of the change callback's second argument). A node
// that moves to another network address is reported removed under the old one and added
// under the new one.
enum NodeChange : unsigned {
    NODE_ADDED = 1u << 0,    // a node now held under this address (with all it carries)
    NODE_REMOVED = 1u << 1,  // with NODE_ADDED: another node took the address meanwhile
    NODE_IEEE_ADDR = 1u << 2,
    NODE_DESCRIPTOR = 1u << 3,
    NODE_POWER_DESCRIPTOR = 1u << 4,
    NODE_END_POINTS = 1u << 5,
    NODE_SIMPLE_DESCRIPTORS = 1u << 6,
    NODE_NEIGHBOURS = 1u << 7,  // the neighbour list
    NODE_LQI = 1u << 8,         // the LQI table
    NODE_ACTIVE = 1u << 9,
};

using NodeChangeCallback = std::function<void(unsigned short nwk, unsigned changes)>;

class ZbNetDb {
  public:
    ZbNetDb();
    ~ZbNetDb();
    ZbNetDb(const ZbNetDb&) = delete;
    ZbNetDb& operator=(const ZbNetDb&) = delete;

    // Held by each operation; take it to keep Node* valid across several operations.
    std::recursive_mutex& mutex() { return mux; }

    // Change reporting (see the file comment). One callback; an empty one removes it.
    void setChangeCallback(NodeChangeCallback fn);
    unsigned long long changeCount() const { return changes.load(); }

    // Writers of node data (node must not be null). Each returns whether it changed something;
    // a node the database does not hold is written but nothing is reported.
    // The IEEE address; the index and both translation directions follow (an all-zero address
    // is a node not identified yet and gets no translation).
    bool setIeeeAddr(Node* node, const unsigned char* ieee);
    bool setNodeDescriptor(Node* node, const NodeDescriptor& desc);
    // The descriptor's receiver-on-when-idle bit alone (learnt from a capability or a
    // neighbour table before the descriptor itself is known).
    bool setReceiverOnWhenIdle(Node* node, bool rxOn);
    bool setPowerDescriptor(Node* node, const PowerDescriptor& desc);
    bool setActive(Node* node, bool active);
    bool updateLQIInformation(Node* node, unsigned short shortAddress, const unsigned char* ieee,
                              unsigned char devTypeRxOnRelation, unsigned char depth,
                              unsigned char lqi);
    // Keeps the LQI entries whose short address is among the list's; none for an empty list.
    bool removeOldLQIInformation(Node* node, const ZB_NEIGHBOR_TABLE_LIST* list, int count);

    // Nodes.
    int setRoot(Node* node);
    Node* getRoot();
    // Takes a node made outside (a stored one brought back) into the database, which then owns
    // it; false, and the node is not taken, when its address is already held.
    bool addNode(Node* node);
    void clearAll();
    int clearAllButRoot();
    int addNeighbor(Node* node, Node* neighbor);
    int removeNeighbor(Node* node, Node* neighbor);
    Node* findNodeByNwkAddr(unsigned short nwk);
    Node* findNodeByIEEEAddr(const unsigned char* ieee);
    int removeNodeByNwkAddr(unsigned short nwk);
    Node* getFirstNode();
    Node* getNextNode(const Node* node);
    int getDBNodesSize();
    int getNodesCount(const Node* node);
    // The node map itself: iterate only while holding mutex().
    std::map<unsigned short, Node*>& getNodeDict() { return node_dict; }
    // The node now known under (nwk, ieee), with a fresh keep-alive time stamp; null (and
    // nothing changed but the translation) when nwk is the root's address and ieee another's.
    Node* nodeAnnounce(unsigned short nwk, const unsigned char* ieee, unsigned char capability);
    void updateLQIDetails(Node* node, const ZB_NEIGHBOR_TABLE_LIST* list, int count);

    // Address translation.
    void addTranslationEntry(unsigned short nwk, const unsigned char* ieee);
    unsigned short translateAddress(const unsigned char* ieee);  // 65535 when unknown
    // The 8 stored IEEE bytes, null when unknown; valid until the pair is removed.
    const unsigned char* translateAddress(unsigned short nwk);
    void removeTranslationEntry(const unsigned char* ieee);
    void removeTranslationEntry(unsigned short nwk);

    // End points and simple descriptors of a node (node must not be null).
    void addEndPoint(Node* node, int endPoint);
    void clearEndPointList(Node* node);
    std::list<int> getEndPointList(Node* node);
    void addSimpleDescr(Node* node, SimpleDescriptor* sd);  // the node takes ownership
    void clearSimpleDescrList(Node* node);
    int clearSimpleDescr(Node* node, int endPoint);
    const SimpleDescriptor* getSimpleDescr(Node* node, int endPoint);
    static void createDefaultSimpleDescr(int endPoint, SimpleDescriptor* sd);

    // The gateway's local services (descriptors not owned).
    int setServicesSD(SimpleDescriptor* sd);
    int removeServicesSD(SimpleDescriptor* sd);
    SimpleDescriptor* getFirstServicesSD();
    SimpleDescriptor* getNextServicesSD(const SimpleDescriptor* sd);

    // With a stored network the nodes outlive a start: the network's identity, not the start
    // mode, decides whether they are kept, and a start no longer empties the database.
    void setKeepNodesAcrossStarts(bool keep) { keepNodes = keep; }
    bool keepsNodesAcrossStarts() const { return keepNodes.load(); }

    // Start-up data.
    int getStartModeSetting();
    void setStartModeSetting(int mode);
    StartupAttributeInfo* getStartupAttributeInfo(int index);
    // `copyFromDefault` non-zero takes channel mask, PAN ids, security level and keys from
    // set 0 instead of `info`.
    void setStartupAttributeInfo(int copyFromDefault, const StartupAttributeInfo* info);
    int getCurrentStartupAttributeSetIndex();
    void setCurrentStartupAttributeSetIndex(int index);
    void removeAllStartupAttributeInfo();
    void setTCKeyTableEntry(const tcKeyTableEntry* entry);
    tcKeyTableEntry* getTCKeyTableEntry(int index);
    void setTCKeyTableSize(int size);
    int getTCKeyTableSize();
    void removeAllTCKeyTableEntry();

  private:
    struct Change {
        unsigned short nwk;
        unsigned what;
    };
    // Held by each write: the mutex, and the reporting of what the outermost write changed
    // when it ends.
    class WriteScope {
      public:
        explicit WriteScope(ZbNetDb& d);
        ~WriteScope();
        WriteScope(const WriteScope&) = delete;
        WriteScope& operator=(const WriteScope&) = delete;

      private:
        std::lock_guard<std::recursive_mutex> lock;
        ZbNetDb& db;
    };

    // Stores value in the node's field and tells `what` when that changed it.
    template <typename T>
    bool assign(Node* node, T Node::*field, const T& value, unsigned what);
    bool holds(const Node* node) const;
    void note(const Node* node, unsigned what);
    void noteAddress(unsigned short nwk, unsigned what);
    void publish();
    void insertNode(Node* node);
    void indexAdd(const Node* node);
    void indexRemove(const Node* node);
    // Removes the node from the map, the index and every neighbour list, and deletes it.
    void dropNode(std::map<unsigned short, Node*>::iterator it);
    void noteNeighbourChange(Node* node, const std::list<Node*>& before);

    std::recursive_mutex mux;
    NodeChangeCallback changeCallback;
    std::atomic<unsigned long long> changes{0};
    std::atomic<bool> keepNodes{false};
    std::vector<Change> pendingChanges;
    int writeDepth = 0;
    bool publishing = false;
    // IEEE address (8 bytes) -> network addresses of the nodes that carry it (several only
    // while placeholders are not identified yet); the lowest is the one found.
    std::map<std::string, std::set<unsigned short>> ieee_index;
    Debug* pLogger;
    int startupMode = 0;
    std::map<unsigned short, Node*> node_dict;
    std::map<std::string, unsigned short> translate_ieee_dict;
    std::map<unsigned short, std::string> translate_nwk_dict;
    std::map<int, StartupAttributeInfo*> startupAttributeSet;
    int currentstartAttributeSetIndex = 0;
    std::map<int, tcKeyTableEntry*> TCKeyTable;
    int TCKeyTableSize = 0;
    std::map<int, SimpleDescriptor*> servicesSDTable;
    Node* root = nullptr;
};

#endif
