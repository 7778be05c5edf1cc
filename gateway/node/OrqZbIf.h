#ifndef ORQ_ORQZBIF_H
#define ORQ_ORQZBIF_H

// The gateway's stack adapter: the one subclass of CZbIf. It owns the network database,
// keeps the gateway status, drives the co-processor start-up sequence (reset, descriptor
// and attribute writes, start, channel and IEEE reads), refreshes node keep-alive time
// stamps on every frame heard from a node, and hands every confirm and indication to the
// listeners the agents register for its event key.
//
// Threads: confirms and indications arrive on the serial reader thread (several set
// requests are confirmed at once on the thread that issued them, so the start-up chain
// re-enters itself). Start(), registerListener() and unregisterListener() may be called
// from any thread. The chain's state is guarded by a recursive mutex; listeners are never
// called with it held, so a listener may take its own agent's mutex and issue requests.
// The listener registry has a mutex of its own: a dispatch works on a snapshot and skips a
// listener that was unregistered meanwhile.

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Agents.h"
#include "CZbIf.h"
#include "ZbEvents.h"
#include "ZbNetDb.h"

class ConfigurationRepository;
class Debug;

// Told what the adapter sees of the module's health (the module supervisor, docs/recovery.md).
// Called on the thread that saw it; an implementation only records and returns.
struct ModuleWatcher {
    virtual ~ModuleWatcher() = default;
    // A request went out that the module answers itself whatever the radio does (a data
    // request, an attribute read): requests to remote nodes are not told.
    virtual void requestSent() = 0;
    // The module sent something (any packet): it is alive.
    virtual void moduleHeard() = 0;
    virtual void linkLost(int error) = 0;
    // The module said it has just booted while the network was running.
    virtual void moduleRebooted() = 0;
};

class OrqZbIf : public CZbIf {
  public:
    // The process-wide adapter.
    static OrqZbIf* Instance();

    // Tests build their own; `config` null means the process-wide repository.
    explicit OrqZbIf(ConfigurationRepository* config = nullptr);
    ~OrqZbIf() override;

    void init();
    int LoadConfig(const char* path);
    int SaveConfig(const char* path);
    int ZbIfConnect_W(const char* uri);
    // Why the last ZbIfConnect_W failed: the system's reason ("No such file or directory") or
    // what is wrong with the URL ("dongle ezsp not supported"). Set before the state change.
    std::string getConnectFailure() const { return connectFailure; }
    int ZbIfDisconnect_W();
    // Closes the link and opens `uri` again, with no state change (the module supervisor
    // reports the states of a recovery itself); true when the device is open.
    bool reopen(const char* uri);
    int Start();

    ZbNetDb* getDb() { return &db; }
    int getGWStatus() const { return gwStatus.load(); }
    void setGWStatus(int status, int error, uchar extra = 0);
    FeatureControl* getFeatureControl() { return &featureControl; }
    void set_securityLevel(int level);
    int get_securityLevel();

    // 0, or -1 when `listener` is null or not of the kind the event key calls.
    int registerListener(int event, ZbListenerBase* listener);
    // -1 when the key has no listeners; 0 otherwise (also when this one was not there).
    int unregisterListener(int event, ZbListenerBase* listener);

    void manageNodeTimeouts(uchar src_addr_mode, const uchar* src_addr);

    // The module's health goes to `watcher` (null: nobody).
    void setModuleWatcher(ModuleWatcher* watcher) { moduleWatcher.store(watcher); }
    // Reads the channel; its confirm is only the proof that the module answers.
    void sendLivenessProbe();

    // How the process is ended when the module reports an invalid channel (tests replace it).
    void setExitHandler(std::function<void(int)> fn) { exitProcess = std::move(fn); }

    // What identifies the network the module started: the extended PAN id (its bytes read as
    // one big-endian number, as the configuration writes it), the PAN id and the channel.
    struct NetworkIdentity {
        unsigned long long extPanId = 0;
        unsigned short panId = 0;
        unsigned char channel = 0;
    };
    // Called on the reader thread each time the network is up, before the running state is
    // told to anyone; set before the link starts.
    void setNetworkUpHook(std::function<void(const NetworkIdentity&)> fn) {
        networkUpHook = std::move(fn);
    }

    // The reset options of a start: the start mode's bits, the reset bit, and the random
    // IEEE address bit when the MAC-address setting is 1.
    static uchar resetOptions(int startMode, int macSetting);

    // What the start-up chain has done, for tests and diagnostics: the attributes it asked
    // the module to set, in order, since the last Start(), and the options of the last
    // reset it sent.
    std::vector<uchar> getAttributeTrace();
    uchar getLastResetOptions() const { return lastResetOptions.load(); }

    // The rows of the co-processor's trust-centre link-key table.
    static constexpr int TC_KEY_TABLE_MAX_ROWS = 9;
    // True from the moment the serial device went away until the next successful connect.
    bool isLinkLost() const { return linkLost.load(); }

    // Exit status used when the module reports a channel outside 11..26.
    static constexpr int EXIT_INVALID_MODULE_CHANNEL = 8;

    // Confirms and indications (reader thread).
    void ZDO_RESET_confirm(uchar status, uchar restartGW) override;
    void ZDO_START_confirm(uchar status, ushort nwk_addr) override;
    void ZDO_NWK_ADDR_confirm(uchar status, uchar* ieee_addr, ushort nwk_addr, uchar num_assoc_dev,
                              uchar start_index, ushort* list) override;
    void ZDO_IEEE_ADDR_confirm(uchar status, uchar* ieee_addr, ushort nwk_addr, uchar num_assoc_dev,
                               uchar start_index, ushort* list) override;
    void ZB_MGMT_LQI_response(uchar src_addr_mode, uchar* src_addr, uchar* data) override;
    void ZDO_NODE_DESC_confirm(uchar status, ushort nwk_addr, ZB_NODE_DESC* nd) override;
    void ZDO_POWER_DESC_confirm(uchar status, ushort nwk_addr, ZB_POWER_DESC* pd) override;
    void ZDO_SIMPLE_DESC_confirm(uchar status, ushort nwk_addr, ZB_SIMPLE_DESC* sd) override;
    void ZDO_ACTIVE_EP_DESC_confirm(uchar status, ushort nwk_addr, uchar count,
                                    uchar* list) override;
    void ZDO_MATCH_DESC_indication(ushort nwk_addr, ushort profile_id, uchar nicl, ushort* icllist,
                                   uchar nocl, ushort* ocllist) override;
    void ZDO_END_DEVICE_BIND_confirm(uchar status) override;
    void ZDO_DEVICE_ANNCE_indication(ushort nwk_addr, uchar* ieee_addr, uchar capability) override;
    void ZIGBEE_STACK_STATUS_indication(uchar status) override;
    void NLME_SYNC_confirm(uchar status) override;
    void APSDE_DATA_confirm(uchar dst_addr_mode, uchar* dst_addr, uchar dst_ep, uchar src_ep,
                            uchar status) override;
    void APSDE_DATA_indication(uchar dst_addr_mode, uchar* dst_addr, uchar dst_ep,
                               uchar src_addr_mode, uchar* src_addr, uchar src_ep,
                               ushort profile_id, ushort cluster_id, ushort asdu_len, uchar* asdu,
                               uchar was_broadcast, uchar sec_status) override;
    void ZDP_MGMT_BIND_Response(uchar status, ushort entries, ushort start_index, ushort list_count,
                                ZB_BIND_STRUCT* list) override;
    void ZDP_BIND_response(uchar status) override;
    void ZDP_UNBIND_response(uchar status) override;
    void APSME_GET_confirm(uchar status, uchar attr, uchar attr_len, uchar* attr_value) override;
    void APSME_SET_confirm(uchar status, uchar attr) override;
    void MGMT_PERMIT_JOINING_response(uchar status) override;
    void MGMT_LEAVE_response(uchar status) override;
    void MGMT_LEAVE_confirm(uchar* ieee_addr, uchar rejoin) override;
    // The serial device went away: status 4 with the generic error (no frame comes any more).
    void ZB_LINK_LOST_indication(int error) override;
    // Indications of the table without a stack callback of their own.
    void NLME_JOIN_indication(ushort nwk_addr, uchar* ieee_addr, uchar flags1, uchar flags2);
    void APSME_UPDATE_DEVICE_indication(uchar* addr1, uchar* addr2, uchar status, ushort nwk);

    // Decodes a management LQI response body (from its length byte) into `out` (at most
    // `max` entries, never past `len` bytes); returns the entries decoded. The header
    // bytes are stored in the four out-parameters.
    static int decodeNeighbourTable(const uchar* data, int len, uchar* status, uchar* total,
                                    uchar* startIndex, uchar* listCount,
                                    ZB_NEIGHBOR_TABLE_LIST* out, int max);

    // What the link tells of the module's health, passed on to the module watcher.
    void moduleRequestSent() override {
        if (ModuleWatcher* w = moduleWatcher.load()) {
            w->requestSent();
        }
    }
    void moduleHeard() override {
        if (ModuleWatcher* w = moduleWatcher.load()) {
            w->moduleHeard();
        }
    }

  private:
    using ListenerList = std::list<ZbListenerBase*>;

    // Calls the listeners of `Event` (of its kind, ZbEventListener) with args.
    template <int Event, typename... A>
    bool fire(const A&... args);
    void loadCurrentSAS();
    // Under chainMux: the chain's progress back to its beginning.
    void beginChain();
    // One step of the attribute chain after a set confirm; false when the start cannot go on.
    bool chainStep(uchar status, uchar attr);
    int setSimpleDescriptor();
    int initTCKeyTable();
    void setAttr(uchar attr, uchar len, const uchar* value);
    void setChannelMask();
    void setExtendedPanId();
    void afterSecurityLevel();
    void sendReset(uchar options);
    // Under chainMux: the start-up chain begins afresh (descriptors, key table, start attempts).

    ConfigurationRepository* config;
    std::recursive_mutex chainMux;  // the start-up chain's fields below
    int securityLevel = 0;
    bool isFirstStart = true;
    bool isEZSPstackRunning = false;
    Debug* pLogger;
    bool debugEnabled = false;
    ZbNetDb db;
    StartupAttributeInfo* currentSAS = nullptr;
    std::mutex listenersMux;
    std::map<int, ListenerList> listeners;
    int platform = 0;
    ushort startupControl = 0;
    ushort apscMaxWindowSize = 1;
    ushort apsInterframeDelay = 100;
    uchar preconfiguredTCLinkKey[16] = {0};
    uchar networkKey[16] = {0};
    int assignedChannelMask = 0;
    SimpleDescriptor* lastSDSet = nullptr;  // only its end point is used afterwards
    int lastSDEndPoint = -1;
    int currentTCKeyTableEntryIndex = 0;
    bool erasePhase = true;
    bool setPhase = false;
    FeatureControl featureControl;
    std::atomic<int> gwStatus{0};
    std::atomic<bool> linkLost{false};
    int zdoStartAttempts = 0;
    std::list<SimpleDescriptor> sdList;
    std::function<void(int)> exitProcess;
    std::function<void(const NetworkIdentity&)> networkUpHook;
    std::vector<uchar> attributeTrace;  // guarded by chainMux
    std::atomic<uchar> lastResetOptions{0};
    std::atomic<ModuleWatcher*> moduleWatcher{nullptr};
    std::atomic<bool> probePending{false};
    std::string connectFailure;  // main thread, at start-up (ZbIfConnect_W)
};

#endif
