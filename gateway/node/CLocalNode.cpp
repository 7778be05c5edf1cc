#include "LocalNodeCore.h"

#include <cstring>

const char* const kDefaultKeyHexList =
    "0x5A 0x69 0x67 0x42 0x65 0x65 0x41 0x6C 0x6C 0x69 0x61 0x6E 0x63 0x65 0x30 0x39";

bool channelToMask(int channel, unsigned long* mask) {
    if (channel == 0) {
        *mask = 0x07FFF800UL;
        return true;
    }
    if (channel >= 11 && channel <= 26) {
        *mask = 1UL << channel;
        return true;
    }
    return false;
}

bool readDefaultStartupAttributeSet(ConfigurationRepository* config, Debug* log,
                                    StartupAttributeInfo* set) {
    *set = StartupAttributeInfo();
    set->startupAttributeSetIndex = 0;
    int deviceType = config->getint("DefaultStartupAttributeSet:DeviceType", 1);
    if (deviceType < 0 || deviceType > 3) {
        std::printf(
            "ERROR: Inserted a wrong deviceType value, coordinator will be selected instead!\n");
        std::fflush(stdout);
        deviceType = 1;
    }
    set->deviceType = deviceType;
    set->isDeviceTypeDefined = true;

    int channel = config->getint("DefaultStartupAttributeSet:ChannelMask", 0x100000);
    unsigned long mask = 0;
    if (!channelToMask(channel, &mask)) {
        if (log != nullptr) {
            ORQ_LOG(*log, ERROR, "loadDefaultStartAttributeSet - INVALID CHANNEL MASK: %x",
                    channel);
        }
        std::printf("loadDefaultStartAttributeSet - INVALID CHANNEL MASK: %x\n", channel);
        std::fflush(stdout);
        return false;
    }
    set->channelMask = mask;
    set->isChannelMaskDefined = true;

    set->PANId =
        static_cast<unsigned short>(config->getint("DefaultStartupAttributeSet:PANId", 65535));
    if (log != nullptr) {
        ORQ_LOG(*log, INFO, "The PANId that will be used is %04x", set->PANId);
    }
    config->getHexArray("DefaultStartupAttributeSet:ExtendedPanId",
                        "0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00", set->extendedPANId, 8);
    set->StartupControl =
        static_cast<unsigned short>(config->getint("DefaultStartupAttributeSet:StartUpControl", 0));
    set->isStartupControlDefined = true;
    set->_securityLevel = config->getint("DefaultStartupAttributeSet:SecurityLevel", 0);
    config->getHexArray("DefaultStartupAttributeSet:networkKey", kDefaultKeyHexList,
                        set->networkKey, 16);
    config->getHexArray("DefaultStartupAttributeSet:preconfiguredLinkKey", kDefaultKeyHexList,
                        set->preconfiguredLinkKey, 16);
    if (log != nullptr) {
        char nk[16 * 3 + 1] = {0};
        char lk[16 * 3 + 1] = {0};
        for (int i = 0; i < 16; ++i) {
            std::snprintf(nk + 3 * i, 4, "%02x ", set->networkKey[i]);
            std::snprintf(lk + 3 * i, 4, "%02x ", set->preconfiguredLinkKey[i]);
        }
        ORQ_LOG(*log, DEBUG, "loadDefaultStartAttributeSet - networkKey = %s", nk);
        ORQ_LOG(*log, DEBUG, "loadDefaultStartAttributeSet - preconfiguredLinkKey = %s", lk);
    }
    return true;
}

bool readTCKeyTable(ConfigurationRepository* config, Debug* log, ZbNetDb* db) {
    int size = config->getint("TCKeyTable:TCKeyTableSize", 0);
    if (size < 0) {
        size = 0;
    }
    if (size > OrqZbIf::TC_KEY_TABLE_MAX_ROWS) {
        // The co-processor holds that many rows and never confirms one more: the start would
        // stall. The configuration is refused instead.
        if (log != nullptr) {
            ORQ_LOG(*log, ERROR, "loadTCKeyTable - TCKeyTableSize %d above %d", size,
                    OrqZbIf::TC_KEY_TABLE_MAX_ROWS);
        }
        std::fprintf(stderr,
                     "ERROR: TCKeyTable:TCKeyTableSize = %d - the co-processor holds at most %d "
                     "keys - exit\n",
                     size, OrqZbIf::TC_KEY_TABLE_MAX_ROWS);
        return false;
    }
    db->setTCKeyTableSize(size);
    for (int i = 0; i < size; ++i) {
        char key[64];
        tcKeyTableEntry e;
        e.keyTableEntryIndex = i;
        std::snprintf(key, sizeof key, "TCKeyTable:IEEEAddress%02d", i);
        config->getHexArray(key, "0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00", e.ieeeAddress, 8);
        std::snprintf(key, sizeof key, "TCKeyTable:TCLinkKey%02d", i);
        config->getHexArray(key,
                            "0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 "
                            "0x00 0x00 0x00",
                            e.preconfiguredLinkKey, 16);
        db->setTCKeyTableEntry(&e);
    }
    return true;
}
