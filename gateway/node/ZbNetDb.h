#ifndef ORQ_ZBNETDB_H
#define ORQ_ZBNETDB_H

// The gateway's in-memory picture of the ZigBee network: the nodes with their descriptors,
// end points, neighbour tables and keep-alive bookkeeping; the network <-> IEEE address
// translation; the start-up attribute sets and the trust-centre link-key table; the simple
// descriptors of the gateway's own services. Nothing of it is persisted.
//
// One instance, owned by the stack adapter (OrqZbIf::getDb()). It is used from the main
// thread, the serial reader thread, the agents' pool threads and the keep-alive thread:
// every operation takes the database's recursive mutex. A Node* or descriptor pointer
// handed out stays valid only while no other thread can remove the node; a caller that
// keeps one across several operations holds mutex() (a std::recursive_mutex) meanwhile.

#include <list>
#include <map>
#include <mutex>
#include <string>

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

class Node {
  public:
    explicit Node(unsigned short nwk);
    ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    NodeDescriptor node_desc;
    PowerDescriptor power_desc;
    int currentLQIInformationTableSize = 0;
    unsigned char ieee_addr[8] = {0};
    unsigned short nwk_addr;
    std::list<Node*> neighbor;  // not owned
    std::list<int> endpoints;
    std::map<int, SimpleDescriptor*> simpleDesc;  // owned
    bool isActive = false;
    long nodeTimer = KA_NO_TIMESTAMP;
    int numOfPingsDone = 0;
    long forcePingTimer = 0;
    LQIInformationEntry LQIInformationTable[MAX_LQI_ENTRIES];

    void set_ieee_addr(const unsigned char* ieee);
    const unsigned char* get_ieee_addr() const { return ieee_addr; }
    void set_nwk_addr(unsigned short nwk) { nwk_addr = nwk; }
    unsigned short get_nwk_addr() const { return nwk_addr; }
    LQIInformationEntry* getLQIInformationTable(int* size);
    // Overwrites the entry with this short address, or appends while fewer than 15 are used.
    void updateLQIInformation(unsigned short shortAddress, const unsigned char* ieee,
                              unsigned char devTypeRxOnRelation, unsigned char depth,
                              unsigned char lqi);
    // Keeps only the entries whose short address is among the list's network addresses.
    void removeOldLQIInformation(const ZB_NEIGHBOR_TABLE_LIST* list, int count);
    std::list<int> getEndPointList() const { return endpoints; }
    SimpleDescriptor* getSimpleDescr(int endPoint) const;
    void setIsActive(bool a) { isActive = a; }
    bool getIsActive() const { return isActive; }
    void setKANodeTimer(long t) { nodeTimer = t; }
    long getKANodeTimer() const { return nodeTimer; }
    void setnumOfPingsDone(int n) { numOfPingsDone = n; }
    int getnumOfPingsDone() const { return numOfPingsDone; }
    void setForcePingTimer(long t) { forcePingTimer = t; }
    long getForcePingTimer() const { return forcePingTimer; }
    void dump() const {}
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

class ZbNetDb {
  public:
    ZbNetDb();
    ~ZbNetDb();
    ZbNetDb(const ZbNetDb&) = delete;
    ZbNetDb& operator=(const ZbNetDb&) = delete;

    // Held by each operation; take it to keep Node* valid across several operations.
    std::recursive_mutex& mutex() { return mux; }

    // Nodes.
    int setRoot(Node* node);
    Node* getRoot();
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
    SimpleDescriptor* getSimpleDescr(Node* node, int endPoint);
    static void createDefaultSimpleDescr(int endPoint, SimpleDescriptor* sd);

    // The gateway's local services (descriptors not owned).
    int setServicesSD(SimpleDescriptor* sd);
    int removeServicesSD(SimpleDescriptor* sd);
    SimpleDescriptor* getFirstServicesSD();
    SimpleDescriptor* getNextServicesSD(const SimpleDescriptor* sd);

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
    void deleteNode(Node* node);

    std::recursive_mutex mux;
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
