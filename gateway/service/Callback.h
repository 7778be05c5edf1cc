#ifndef ORQ_CALLBACK_H
#define ORQ_CALLBACK_H

#include <cstdint>
#include <string>

// The records of a filtered callback: what a client asks to be told about among the
// messages the gateway receives. Built by the XML parser from a Callback document,
// copied into the service agent's table, matched by the agent against received
// messages. Plain values, freely copied.

// Filter levels named by Level elements.
enum FilterLevel { MACLevel = 0, NWKLevel = 1, APSLevel = 2, INTRPLevel = 3 };

// Decode levels named by DecodeLevel elements; index into DecodeSpecification.
enum DecodeLevel {
    DecodeMAC = 0,
    DecodeNWK = 1,
    DecodeInterPAN = 2,
    DecodeAPS = 3,
    DecodeZCL = 4,
    DecodeZDP = 5,
    DECODE_LEVEL_COUNT = 6
};

struct LevelSpecification {
    // The texts of all Level elements, concatenated in document order.
    std::string level;
};

struct AddressSpecification {
    bool isDefined = false;
    bool isNWKSourceAddressDefined = false;
    uint16_t NWKSourceAddress = 0xFFFF;  // 0xFFFF matches any sender
    bool isAPSSourceEndpointDefined = false;
    int APSSourceEndpoint = 0;
    bool isAPSDestinationEndpointDefined = false;
    int APSDestinationEndpoint = 0;
};

struct MessageSpecification {
    bool isDefined = false;
    bool isAPSClusterIdentifierDefined = false;
    std::string APSClusterIdentifier;
    bool isAPSClusterGroupDefined = false;
    std::string APSClusterGroup;  // "ZDP", "ZCL" or "Discovery" restrict
};

struct Filter {
    bool isDefined = false;
    LevelSpecification levelSpec;
    AddressSpecification addressSpec;
    MessageSpecification messageSpec;
};

struct DecodeSpecification {
    bool decodeLevel[DECODE_LEVEL_COUNT] = {false, false, false, false, false, false};
};

struct Action {
    bool isDefined = false;
    DecodeSpecification decodeSpecification;
    std::string forwardingSpecification;  // the URI notifications go to
};

struct Callback {
    int internalId = 0;  // given by the broker at registration
    Filter filter;
    std::string buffer;  // text of the Buffer element; not used by matching
    Action action;
};

#endif
