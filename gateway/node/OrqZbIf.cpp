#include "OrqZbIf.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "CDebug.h"
#include "ConfigurationRepository.h"
#include "GWManagement.h"
#include "OrqZbIfInternal.h"

using orqzbif::putLE16;
using orqzbif::ZB_ATTR_GET_CHANNEL_PROBE;

namespace {
constexpr int kMaxChannel = 26;
constexpr int kMinChannel = 11;
constexpr int kSimpleDescMaxLen = ZB_MAX_PAYLOAD - 1;  // the module adds one byte

const char* attributeName(uchar attr) {
    switch (attr) {
        case ZB_ATTR_CONFIG_NODE_DESCRIPTOR:
            return "ZB_ATTR_CONFIG_NODE_DESCRIPTOR";
        case ZB_ATTR_CONFIG_PANID:
            return "ZB_ATTR_CONFIG_PANID";
        case ZB_ATTR_CONFIG_SIMPLE_DESCRIPTOR:
            return "ZB_ATTR_CONFIG_SIMPLE_DESCRIPTOR";
        case ZB_ATTR_CONFIG_EXTENDEDPANID:
            return "ZB_ATTR_CONFIG_EXTENDEDPANID";
        case ZB_ATTR_CONFIG_STARTUPCONTROL:
            return "ZB_ATTR_CONFIG_STARTUPCONTROL";
        case ZB_ATTR_CONFIG_FRAGMENT_WINDOW_SIZE:
            return "ZB_ATTR_CONFIG_FRAGMENT_WINDOW_SIZE";
        case ZB_ATTR_CONFIG_FRAGMENT_DELAY_MS:
            return "ZB_ATTR_CONFIG_FRAGMENT_DELAY_MS";
        case ZB_ATTR_CONFIG_SECURITY:
            return "ZB_ATTR_CONFIG_SECURITY";
        case ZB_TC_KEY_REQUEST_POLICY:
            return "ZB_TC_KEY_REQUEST_POLICY";
        case ZB_APP_KEY_REQUEST_POLICY:
            return "ZB_APP_KEY_REQUEST_POLICY";
        case EZSP_TRUST_CENTER_POLICY:
            return "EZSP_TRUST_CENTER_POLICY";
        case ZB_ATTR_PRECONF_TC_LINK_KEY:
            return "ZB_ATTR_PRECONF_TC_LINK_KEY";
        case ZB_ATTR_NWK_KEY:
            return "ZB_ATTR_NWK_KEY";
        case ZB_ATTR_KEY_TABLE_SIZE:
            return "ZB_ATTR_KEY_TABLE_SIZE";
        case ZB_ATTR_KEY_TABLE_ENTRY:
            return "ZB_ATTR_KEY_TABLE_ENTRY";
        case ZB_ATTR_CONFIG_CHANNEL_MASK:
            return "ZB_ATTR_CONFIG_CHANNEL_MASK";
        default:
            return "Unknown Attribute";
    }
}

std::string hex16(const uchar* k) {
    char buf[16 * 3 + 1] = {0};
    for (int i = 0; i < 16; ++i) {
        std::snprintf(buf + 3 * i, 4, "%02x ", k[i]);
    }
    return buf;
}
}  // namespace

OrqZbIf* OrqZbIf::Instance() {
    static OrqZbIf instance;
    return &instance;
}

OrqZbIf::OrqZbIf(ConfigurationRepository* config)
    : config(config != nullptr ? config : ConfigurationRepository::instance()),
      pLogger(new Debug("OrqZbIf")),
      exitProcess([](int status) {
          std::fflush(stdout);
          std::exit(status);
      }) {
    configureLogger(*pLogger, nullptr, 1);
}

OrqZbIf::~OrqZbIf() {
    // Stop the reader thread before the database and the listeners go away.
    ZBIFDisconnect();
    delete pLogger;
}

void OrqZbIf::init() {
    debugEnabled = config->getint("main:debugEnabled", 0) != 0;
    pLogger->setDebugMode(debugEnabled ? 1 : 0);
    pLogger->enableDebugOuput(0);
    setGWStatus(0, 0);
}

int OrqZbIf::LoadConfig(const char* path) {
    (void)path;
    std::lock_guard<std::recursive_mutex> lock(chainMux);
    platform = config->getint("main:platform", 0);
    apscMaxWindowSize = static_cast<ushort>(config->getint("main:apscMaxWindowSize", 1));
    ORQ_LOG(*pLogger, INFO, "LoadConfig - apscMaxWindowSize = %d", apscMaxWindowSize);
    apsInterframeDelay = static_cast<ushort>(config->getint("main:apsInterframeDelay", 100));
    ORQ_LOG(*pLogger, INFO, "LoadConfig - apsInterframeDelay = %d", apsInterframeDelay);
    return 0;
}

int OrqZbIf::SaveConfig(const char* path) {
    (void)path;
    return 0;
}

int OrqZbIf::ZbIfConnect_W(const char* uri) {
    ORQ_LOG(*pLogger, INFO, "ZbIfConnect");
    {
        std::lock_guard<std::recursive_mutex> lock(chainMux);
        isEZSPstackRunning = false;
        char** params = uri != nullptr ? zb_url_to_params(uri) : nullptr;
        if (params != nullptr) {
            const char* dongle = get_param(params, "dongle");
            if (dongle != nullptr && std::strncmp(dongle, "ezsp", 4) == 0) {
                isEZSPstackRunning = true;
                ORQ_LOG(*pLogger, INFO, "ZbIfConnect - EZSP dongle selected");
            }
            zb_free_params(params);
        }
    }
    // A URL of another form is not handed to the stack: the reason is said once, by the caller.
    const char* problem = ZBIFUriProblem(uri);
    errno = 0;
    if (problem == nullptr && ZBIFConnect(uri) == 0) {
        ORQ_LOG(*pLogger, INFO, "ZbIfConnect - ZigBee device connected");
        linkLost.store(false);
        setGWStatus(GW_ZNP_INITIALIZED, 0);
    } else {
        const int why = errno;
        connectFailure = problem != nullptr ? problem
                         : why != 0         ? std::strerror(why)
                                            : "the link could not be opened";
        ORQ_LOG(*pLogger, ERROR, "ZbIfConnect - ERROR: cannot connect to the ZigBee device");
        setGWStatus(GW_ERROR, 4);
    }
    return gwStatus.load();
}

bool OrqZbIf::reopen(const char* uri) {
    ZBIFDisconnect();
    if (uri == nullptr || ZBIFConnect(uri) != 0) {
        return false;
    }
    ORQ_LOG(*pLogger, INFO, "reopen - ZigBee device connected again");
    linkLost.store(false);
    return true;
}

int OrqZbIf::ZbIfDisconnect_W() {
    std::puts("OrqZbIf::ZbIfDisconnect_W");
    std::fflush(stdout);
    ZBIFDisconnect();
    setGWStatus(0, 0);
    return gwStatus.load();
}

void OrqZbIf::setGWStatus(int status, int error, uchar extra) {
    gwStatus.store(status);
    ORQ_LOG(*pLogger, DEBUG, "setGWStatus - status %d, error %d, extra 0x%02x", status, error,
            extra);
    if (!fire<ZB_EV_GW_STATUS_CHANGED>(ZbStateChange{status, error, extra})) {
        ORQ_LOG(*pLogger, DEBUG, "GW_STATUS_CHANGED_event - Map Listeners empty");
    }
}

void OrqZbIf::set_securityLevel(int level) {
    std::lock_guard<std::recursive_mutex> lock(chainMux);
    securityLevel = level;
}

int OrqZbIf::get_securityLevel() {
    std::lock_guard<std::recursive_mutex> lock(chainMux);
    return securityLevel;
}

void OrqZbIf::loadCurrentSAS() {
    int index = db.getCurrentStartupAttributeSetIndex();
    currentSAS = db.getStartupAttributeInfo(index);
    ORQ_LOG(*pLogger, DEBUG, "Start - currentSASIndex = %d", index);
    if (currentSAS == nullptr) {
        ORQ_LOG(*pLogger, ERROR, "Start - currentSAS = NULL");
    }
}

int OrqZbIf::Start() {
    probePending.store(false);  // the chain's own channel read is not a probe's answer
    uchar options = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(chainMux);
        loadCurrentSAS();
    }
    setGWStatus(GW_STARTING, 0);
    {
        std::lock_guard<std::recursive_mutex> lock(chainMux);
        securityLevel = currentSAS != nullptr ? currentSAS->_securityLevel : 0;
        ORQ_LOG(*pLogger, INFO, "Start - securityLevel = %d", securityLevel);
        beginChain();
        ORQ_LOG(*pLogger, INFO, "Start - Starting ZNP - ZDO Reset");
        int mac = config->getint("DefaultStartupAttributeSet:freescaleMACAddressValue", 0);
        ORQ_LOG(*pLogger, INFO, "Start - generateRandomIEEEAddr = %d", mac);
        options = resetOptions(db.getStartModeSetting(), mac);
    }
    sendReset(options);
    return 0;
}

void OrqZbIf::beginChain() {
    // Every entry into the chain (a start, or any reset with restart) writes the descriptors
    // and the key table from the beginning.
    lastSDSet = nullptr;
    lastSDEndPoint = -1;
    erasePhase = true;
    setPhase = false;
    currentTCKeyTableEntryIndex = 0;
    zdoStartAttempts = 0;
    attributeTrace.clear();
}

uchar OrqZbIf::resetOptions(int startMode, int macSetting) {
    uchar options;
    switch (startMode) {
        case 0:
            options = 0x03;
            break;
        case 1:
            options = 0x11;
            break;
        case 2:
            options = 0x13;
            break;
        default:
            options = 0x01;
            break;
    }
    options |= ZB_RESET_OPT_RESET;
    if (macSetting == 1) {
        options |= ZB_RESET_OPT_RANDOM_IEEE;
    }
    return options;
}

void OrqZbIf::ZDO_RESET_confirm(uchar status, uchar restartGW) {
    ORQ_LOG(*pLogger, INFO, "ZDO_RESET_confirm - status %02x, restartGw %02x", status, restartGW);
    {
        std::lock_guard<std::recursive_mutex> lock(chainMux);
        loadCurrentSAS();
        securityLevel = currentSAS != nullptr ? currentSAS->_securityLevel : 0;
    }
    setGWStatus(GW_STARTING, 0);
    if (!fire<ZB_EV_ZDO_RESET_CONFIRM>(ZbZdpResponse{ZB_EV_ZDO_RESET_CONFIRM, status})) {
        ORQ_LOG(*pLogger, DEBUG, "Map Listeners for ZDO_RESET_confirm empty");
    }
    if (status != 0) {
        return;
    }
    if (restartGW != 1) {
        if (!db.keepsNodesAcrossStarts()) {
            db.clearAllButRoot();
        }
        int mode = db.getStartModeSetting();
        const char* tail = "\n*************";
        if (mode == 0) {
            tail = " (Commissioning)\n*************";
        } else if (mode == 1) {
            tail = " (NotVolatileMemory)\n*************";
        } else if (mode == 2) {
            tail = " (TC Replacement)\n*************";
        }
        std::printf(
            "\n*************\nGateway initialized (waiting for startup) - StartupMode = 0x%02x%s\n",
            mode, tail);
        std::fflush(stdout);
        // Listeners hear of the state only once the banner is out and the database cleared.
        setGWStatus(GW_ZNP_INITIALIZED, 0);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(chainMux);
    beginChain();
    int deviceType = currentSAS != nullptr ? currentSAS->deviceType : 1;
    uchar nd[10] = {0};
    nd[0] = static_cast<uchar>(deviceType & 7);
    nd[1] = 0x40;
    nd[2] = 0x8E;
    putLE16(nd + 3, 1008);
    nd[5] = 0x70;
    ORQ_LOG(*pLogger, INFO, "ZDO_RESET_confirm - Device type = %d", deviceType);
    setAttr(ZB_ATTR_CONFIG_NODE_DESCRIPTOR, sizeof nd, nd);
}

void OrqZbIf::sendReset(uchar options) {
    lastResetOptions.store(options);
    ZDO_RESET_request(options);
}

std::vector<uchar> OrqZbIf::getAttributeTrace() {
    std::lock_guard<std::recursive_mutex> lock(chainMux);
    return attributeTrace;
}

void OrqZbIf::setAttr(uchar attr, uchar len, const uchar* value) {
    uchar buf[256];
    std::memcpy(buf, value, len);
    attributeTrace.push_back(attr);
    APSME_SET_request(attr, len, buf);
}

void OrqZbIf::setChannelMask() {
    unsigned long mask = currentSAS != nullptr ? currentSAS->channelMask : 0;
    uchar v[4];
    for (int i = 0; i < 4; ++i) {
        v[i] = static_cast<uchar>((mask >> (8 * i)) & 0xFF);
    }
    setAttr(ZB_ATTR_CONFIG_CHANNEL_MASK, 4, v);
}

int OrqZbIf::setSimpleDescriptor() {
    std::lock_guard<std::recursive_mutex> dbLock(db.mutex());
    for (;;) {
        SimpleDescriptor* sd;
        if (lastSDEndPoint < 0) {
            ORQ_LOG(*pLogger, DEBUG, "setSimpleDescriptor - getFirstSD");
            sd = db.getFirstServicesSD();
        } else {
            ORQ_LOG(*pLogger, DEBUG, "setSimpleDescriptor - getNextSD");
            // Found by end point: the previous descriptor may have been removed meanwhile.
            SimpleDescriptor key;
            key.end_point = lastSDEndPoint;
            sd = db.getNextServicesSD(&key);
        }
        if (sd == nullptr) {
            return -1;
        }
        lastSDSet = sd;
        lastSDEndPoint = sd->end_point;
        const int nin = static_cast<int>(sd->input_cluster.size());
        const int nout = static_cast<int>(sd->output_cluster.size());
        const int len = 8 + 2 * (nin + nout);
        if (len > kSimpleDescMaxLen || nin > 255 || nout > 255) {
            ORQ_LOG(*pLogger, ERROR,
                    "setSimpleDescriptor - endpoint %d has too many clusters (%d) - skipped",
                    sd->end_point, nin + nout);
            continue;
        }
        ORQ_LOG(*pLogger, INFO, "setSimpleDescriptor - endpoint %d", sd->end_point);
        uchar v[256] = {0};
        v[0] = static_cast<uchar>(sd->end_point);
        putLE16(v + 1, static_cast<unsigned>(sd->profile_id));
        putLE16(v + 3, static_cast<unsigned>(sd->device_id));
        v[5] = static_cast<uchar>(sd->device_ver);
        v[6] = static_cast<uchar>(nin);
        v[7] = static_cast<uchar>(nout);
        int pos = 8;
        for (int c : sd->input_cluster) {
            putLE16(v + pos, static_cast<unsigned>(c));
            pos += 2;
        }
        for (int c : sd->output_cluster) {
            putLE16(v + pos, static_cast<unsigned>(c));
            pos += 2;
        }
        setAttr(ZB_ATTR_CONFIG_SIMPLE_DESCRIPTOR, static_cast<uchar>(len), v);
        return 0;
    }
}

int OrqZbIf::initTCKeyTable() {
    uchar v[26] = {0};
    const int size = db.getTCKeyTableSize();
    if (erasePhase) {
        ORQ_LOG(*pLogger, DEBUG, "initTCKeyTable - erasePhase");
        v[0] = static_cast<uchar>(currentTCKeyTableEntryIndex);
        ++currentTCKeyTableEntryIndex;
        if (currentTCKeyTableEntryIndex >= size) {
            setPhase = true;
            erasePhase = false;
            currentTCKeyTableEntryIndex = 0;
        }
        setAttr(ZB_ATTR_KEY_TABLE_ENTRY, sizeof v, v);
        return 0;
    }
    if (setPhase) {
        ORQ_LOG(*pLogger, DEBUG, "initTCKeyTable - setPhase");
        if (currentTCKeyTableEntryIndex >= size) {
            setPhase = false;
            return -1;
        }
        tcKeyTableEntry* e = db.getTCKeyTableEntry(currentTCKeyTableEntryIndex);
        if (e != nullptr) {
            v[0] = static_cast<uchar>(e->keyTableEntryIndex);
            for (int i = 0; i < 8; ++i) {
                v[1 + i] = e->ieeeAddress[7 - i];
            }
            std::memcpy(v + 10, e->preconfiguredLinkKey, 16);
        } else {
            v[0] = static_cast<uchar>(currentTCKeyTableEntryIndex);
        }
        v[9] = 1;
        ++currentTCKeyTableEntryIndex;
        setAttr(ZB_ATTR_KEY_TABLE_ENTRY, sizeof v, v);
        return 0;
    }
    return -1;
}

void OrqZbIf::APSME_SET_confirm(uchar status, uchar attr) {
    if (!chainStep(status, attr)) {
        // Told without the chain's lock: listeners may call back into the adapter.
        setGWStatus(GW_ERROR, GW_GENERIC_ERROR);
    }
}

bool OrqZbIf::chainStep(uchar status, uchar attr) {
    std::lock_guard<std::recursive_mutex> lock(chainMux);
    if (status != 0) {
        ORQ_LOG(*pLogger, ERROR, "ERROR: setting attribute 0x%02x - status = 0x%02X", attr, status);
        return true;
    }
    if (platform != 1) {
        // The start cannot go on: say so whatever the debug settings.
        const char* why =
            platform == 0 ? "This dongle is not supported anymore!" : "Unknown platform!";
        ORQ_LOG(*pLogger, ERROR, "%s", why);
        std::fprintf(stderr, "ERROR: main:platform = %d - %s The start-up stops.\n", platform, why);
        return true;
    }
    ORQ_LOG(*pLogger, DEBUG, "APSME_SET_confirm: %s", attributeName(attr));
    StartupAttributeInfo* sas = currentSAS;
    switch (attr) {
        case ZB_ATTR_CONFIG_NODE_DESCRIPTOR: {
            uchar v[2];
            unsigned pan = sas != nullptr ? sas->PANId : 0xFFFF;
            putLE16(v, pan);
            ORQ_LOG(*pLogger, DEBUG, "APSME_SET_confirm - Setting PanId %04x", pan);
            setAttr(ZB_ATTR_CONFIG_PANID, 2, v);
            break;
        }
        case ZB_ATTR_CONFIG_PANID:
            if (isFirstStart) {
                ORQ_LOG(*pLogger, DEBUG, "APSME_SET_confirm: Setting a Simple Descriptor");
                if (setSimpleDescriptor() != 0) {
                    ORQ_LOG(*pLogger, ERROR,
                            "APSME_SET_confirm - ERROR: at least one Simple Descriptor is "
                            "needed to start the network");
                }
            } else {
                setExtendedPanId();
            }
            break;
        case ZB_ATTR_CONFIG_SIMPLE_DESCRIPTOR:
            ORQ_LOG(*pLogger, DEBUG, "APSME_SET_confirm - Set additional Simple Descriptors");
            if (setSimpleDescriptor() != 0) {
                ORQ_LOG(*pLogger, DEBUG, "APSME_SET_confirm: DONE, set the ExtendedPanId");
                setExtendedPanId();
            }
            break;
        case ZB_ATTR_CONFIG_EXTENDEDPANID: {
            startupControl = sas != nullptr ? sas->StartupControl : 0;
            ORQ_LOG(*pLogger, DEBUG, "APSME_SET_confirm - startupControl = %x", startupControl);
            uchar v = static_cast<uchar>(startupControl);
            setAttr(ZB_ATTR_CONFIG_STARTUPCONTROL, 1, &v);
            break;
        }
        case ZB_ATTR_CONFIG_STARTUPCONTROL:
            if (isFirstStart) {
                uchar v[2];
                putLE16(v, apscMaxWindowSize);
                setAttr(ZB_ATTR_CONFIG_FRAGMENT_WINDOW_SIZE, 2, v);
            } else {
                afterSecurityLevel();
            }
            break;
        case ZB_ATTR_CONFIG_FRAGMENT_WINDOW_SIZE: {
            uchar v[2];
            putLE16(v, apsInterframeDelay);
            setAttr(ZB_ATTR_CONFIG_FRAGMENT_DELAY_MS, 2, v);
            break;
        }
        case ZB_ATTR_CONFIG_FRAGMENT_DELAY_MS: {
            uchar v = static_cast<uchar>(securityLevel);
            setAttr(ZB_ATTR_CONFIG_SECURITY, 1, &v);
            break;
        }
        case ZB_ATTR_CONFIG_SECURITY:
            afterSecurityLevel();
            break;
        case ZB_TC_KEY_REQUEST_POLICY: {
            uchar v = 0x61;
            setAttr(ZB_APP_KEY_REQUEST_POLICY, 1, &v);
            break;
        }
        case ZB_APP_KEY_REQUEST_POLICY: {
            uchar v = 1;
            setAttr(EZSP_TRUST_CENTER_POLICY, 1, &v);
            break;
        }
        case EZSP_TRUST_CENTER_POLICY: {
            uchar key[16] = {0};
            if (sas != nullptr) {
                std::memcpy(key, sas->preconfiguredLinkKey, 16);
            }
            std::memcpy(preconfiguredTCLinkKey, key, 16);
            ORQ_LOG(*pLogger, DEBUG, "APSME_SET_confirm - preconfiguredLinkKey = %s",
                    hex16(key).c_str());
            setAttr(ZB_ATTR_PRECONF_TC_LINK_KEY, 16, key);
            break;
        }
        case ZB_ATTR_PRECONF_TC_LINK_KEY: {
            uchar key[16] = {0};
            if (sas != nullptr) {
                std::memcpy(key, sas->networkKey, 16);
            }
            std::memcpy(networkKey, key, 16);
            ORQ_LOG(*pLogger, DEBUG, "APSME_SET_confirm - networkKey = %s", hex16(key).c_str());
            setAttr(ZB_ATTR_NWK_KEY, 16, key);
            break;
        }
        case ZB_ATTR_NWK_KEY: {
            int size = db.getTCKeyTableSize();
            if (size > TC_KEY_TABLE_MAX_ROWS) {
                // The module would refuse the row past its table without a confirm.
                ORQ_LOG(*pLogger, ERROR, "APSME_SET_confirm - Key Table size %d above %d", size,
                        TC_KEY_TABLE_MAX_ROWS);
                std::fprintf(stderr,
                             "ERROR: the key table holds %d entries, the co-processor %d - the "
                             "start fails\n",
                             size, TC_KEY_TABLE_MAX_ROWS);
                return false;
            } else if (size <= 0) {
                ORQ_LOG(*pLogger, DEBUG, "Channel mask is %08lx",
                        sas != nullptr ? sas->channelMask : 0UL);
                setChannelMask();
            } else if (isFirstStart) {
                ORQ_LOG(*pLogger, DEBUG, "APSME_SET_confirm - Key Table size  = %d", size);
                uchar v[2];
                putLE16(v, static_cast<unsigned>(size));
                setAttr(ZB_ATTR_KEY_TABLE_SIZE, 2, v);
            } else if (initTCKeyTable() != 0) {
                setChannelMask();
            }
            break;
        }
        case ZB_ATTR_KEY_TABLE_SIZE:
            if (initTCKeyTable() != 0) {
                ORQ_LOG(*pLogger, ERROR, "APSME_SET_confirm: ERROR in initTCKeyTable!");
                setChannelMask();
            }
            break;
        case ZB_ATTR_KEY_TABLE_ENTRY:
            if (initTCKeyTable() != 0) {
                ORQ_LOG(*pLogger, DEBUG, "APSME_SET_confirm: TCLinkKeyTable initialized!");
                ORQ_LOG(*pLogger, DEBUG, "Ready to send channel mask is %08lx",
                        sas != nullptr ? sas->channelMask : 0UL);
                setChannelMask();
            }
            break;
        case ZB_ATTR_CONFIG_CHANNEL_MASK:
            ++zdoStartAttempts;
            ORQ_LOG(*pLogger, INFO, "Start a ZigBee Network");
            ZDO_START_request();
            break;
        default:
            ORQ_LOG(*pLogger, WARN, "Unknown Attribute");
            break;
    }
    return true;
}

void OrqZbIf::setExtendedPanId() {
    uchar v[8] = {0};
    if (currentSAS != nullptr) {
        std::memcpy(v, currentSAS->extendedPANId, 8);
    }
    ORQ_LOG(*pLogger, DEBUG,
            "ORqZbIf - sai.extendedPANId = [%02x %02x %02x %02x %02x %02x %02x %02x]", v[0], v[1],
            v[2], v[3], v[4], v[5], v[6], v[7]);
    setAttr(ZB_ATTR_CONFIG_EXTENDEDPANID, 8, v);
}

void OrqZbIf::afterSecurityLevel() {
    if (securityLevel != 5) {
        ORQ_LOG(*pLogger, DEBUG, "Channel mask is %08lx",
                currentSAS != nullptr ? currentSAS->channelMask : 0UL);
        setChannelMask();
        return;
    }
    // The module keeps its own key request policy; the value is not looked at.
    uchar v = 0;
    setAttr(ZB_TC_KEY_REQUEST_POLICY, 1, &v);
}

void OrqZbIf::ZDO_START_confirm(uchar status, ushort nwk_addr) {
    bool failed = false;
    int error = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(chainMux);
        if (isEZSPstackRunning) {
            isFirstStart = false;
        }
        if (status != 0) {
            ORQ_LOG(*pLogger, ERROR, "ZDO_START_confirm - Start Failed 0x%02x", status);
            // zdoStartAttempts counts the start requests sent; two retries follow the first.
            if (zdoStartAttempts < 3) {
                ++zdoStartAttempts;
                ZDO_START_request();
                return;
            }
            int deviceType = currentSAS != nullptr ? currentSAS->deviceType : 1;
            error = deviceType == 1 ? GW_FORMING_FAILED : GW_JOINING_FAILED;
            zdoStartAttempts = 0;
            failed = true;
        } else {
            ORQ_LOG(*pLogger, INFO, "ZDO_START_confirm - Status=0x%02x, nwk_addr=0x%04X", status,
                    nwk_addr);
            std::lock_guard<std::recursive_mutex> dbLock(db.mutex());
            Node* root = db.getRoot();
            if (root != nullptr && root->get_nwk_addr() != nwk_addr) {
                // The co-processor came back under another address: start afresh.
                db.clearAll();
                root = nullptr;
            }
            if (root != nullptr) {
                const uchar* ie = root->get_ieee_addr();
                ORQ_LOG(*pLogger, INFO,
                        "ZDO_START_confirm - root already set: 0x%04x - "
                        "%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x",
                        root->get_nwk_addr(), ie[0], ie[1], ie[2], ie[3], ie[4], ie[5], ie[6],
                        ie[7]);
            } else {
                db.setRoot(new Node(nwk_addr));
            }
            zdoStartAttempts = 0;
        }
    }
    if (failed) {
        sendReset(ZB_RESET_OPT_RESET);
        setGWStatus(GW_ERROR, error, status);
        return;
    }
    APSME_GET_request(ZB_ATTR_GET_CHANNEL_MASK);
}

void OrqZbIf::APSME_GET_confirm(uchar status, uchar attr, uchar attr_len, uchar* attr_value) {
    if (attr == ZB_ATTR_GET_CHANNEL_PROBE && probePending.exchange(false)) {
        ORQ_LOG(*pLogger, DEBUG, "APSME_GET_confirm - liveness probe answered");
        return;  // the start-up chain did not ask: nothing follows
    }
    if (status != 0) {
        ORQ_LOG(*pLogger, ERROR, "ERROR: attribute 0x%02X - status = 0x%02X", attr, status);
        return;
    }
    int plat;
    {
        std::lock_guard<std::recursive_mutex> lock(chainMux);
        plat = platform;
    }
    if (plat == 0) {
        ORQ_LOG(*pLogger, ERROR, "This dongle is not supported anymore!");
        return;
    }
    if (attr == ZB_ATTR_GET_CHANNEL_MASK) {
        ORQ_LOG(*pLogger, DEBUG, "APSME_GET_confirm: ZB_ATTR_GET_CHANNEL_MASK");
        int channel = (attr_len >= 1 && attr_value != nullptr) ? attr_value[0] : 0;
        {
            std::lock_guard<std::recursive_mutex> lock(chainMux);
            assignedChannelMask = channel;
            if (channel >= kMinChannel && channel <= kMaxChannel && currentSAS != nullptr) {
                currentSAS->channelMask = 1UL << channel;
            }
        }
        if (channel < kMinChannel || channel > kMaxChannel) {
            ORQ_LOG(*pLogger, ERROR, "APSME_GET_confirm - invalid channel mask returned: %d",
                    channel);
            std::printf("APSME_GET_confirm - invalid channel mask returned: %d - exit\n", channel);
            exitProcess(EXIT_INVALID_MODULE_CHANNEL);
            return;
        }
        ORQ_LOG(*pLogger, INFO, "APSME_GET_confirm: Channel mask assigned = %d", channel);
        APSME_GET_request(ZB_ATTR_GET_EUI64);
        return;
    }
    if (attr == ZB_ATTR_GET_EUI64) {
        ORQ_LOG(*pLogger, DEBUG, "APSME_GET_confirm: ZB_ATTR_GET_EUI64");
        if (attr_len < 8 || attr_value == nullptr) {
            ORQ_LOG(*pLogger, ERROR, "APSME_GET_confirm - EUI64 of %d bytes ignored", attr_len);
            return;
        }
        uchar ieee[8];
        for (int i = 0; i < 8; ++i) {
            ieee[i] = attr_value[7 - i];
        }
        ushort rootNwk = 0;
        long ka = 0;
        {
            std::lock_guard<std::recursive_mutex> dbLock(db.mutex());
            Node* root = db.getRoot();
            if (root == nullptr) {
                ORQ_LOG(*pLogger, ERROR, "APSME_GET_confirm - no root node");
                return;
            }
            db.setIeeeAddr(root, ieee);
            rootNwk = root->get_nwk_addr();
        }
        ORQ_LOG(*pLogger, INFO, "Root node: IEEEAddress Set!");
        if (networkUpHook) {
            NetworkIdentity id;
            {
                std::lock_guard<std::recursive_mutex> lock(chainMux);
                for (int i = 0; currentSAS != nullptr && i < 8; ++i) {
                    id.extPanId = id.extPanId << 8 | currentSAS->extendedPANId[i];
                }
                id.panId = currentSAS != nullptr ? currentSAS->PANId : 0;
                id.channel = static_cast<unsigned char>(assignedChannelMask);
            }
            networkUpHook(id);
        }
        setGWStatus(GW_RUNNING, 0);
        ZDO_DEVICE_ANNCE_indication(rootNwk, ieee, 0xCF);
        int deviceType;
        int channel;
        {
            std::lock_guard<std::recursive_mutex> lock(chainMux);
            deviceType = currentSAS != nullptr ? currentSAS->deviceType : 1;
            channel = assignedChannelMask;
        }
        if (deviceType == 3) {
            NLME_SYNC_request(0);
        }
        ORQ_LOG(*pLogger, INFO, "ZDO_RESET_confirm - Forced local node to run KeepAlive algorithm");
        {
            std::lock_guard<std::recursive_mutex> dbLock(db.mutex());
            Node* root = db.getRoot();
            if (root != nullptr) {
                ka = root->getKANodeTimer() - 2000;
                root->setKANodeTimer(ka);
            }
        }
        std::printf(
            "\n************\nDevice started (ORQ shortAddr = 0x%04x - ORQ IEEE address = "
            "%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x - Channel Mask = %d)\n************\n",
            rootNwk, ieee[0], ieee[1], ieee[2], ieee[3], ieee[4], ieee[5], ieee[6], ieee[7],
            channel);
        std::fflush(stdout);
        return;
    }
    ORQ_LOG(*pLogger, WARN, "Received a APSME_GET_confirm from an unsupported attribute: %02x",
            attr);
}
