// The parser's readers of addresses: an IEEE address in decimal, an address element
// (IeeeAddress or NetworkAddress) and a device element (an IEEE address and an end point).

#include <string>

#include "CDebug.h"
#include "CMessage.h"
#include "XMLProcessor.h"
#include "XMLText.h"

using tinyxml2::XMLElement;

using xmltext::localName;
using xmltext::parseDecimal64;
using xmltext::textOf;
using xmltext::trimmed;

int XMLMsgParser::parseIeee(const char* text, uint8_t ieee[8]) const {
    unsigned long long value = 0;
    if (!parseDecimal64(trimmed(text), value)) {
        return 1;
    }
    // The order the network database keeps and the composer folds: the first byte the most
    // significant. A folded address a client sends back therefore names the same node.
    for (int i = 0; i < 8; ++i) {
        ieee[i] = static_cast<uint8_t>(value >> (8 * (7 - i)));
    }
    return 0;
}

int XMLMsgParser::parseIeeeText(const char* reader, const char* name, const char* kind,
                                const std::string& text, uint8_t ieee[8]) {
    if (text.empty()) {
        report(ERROR, "%s - %s/%s is empty", reader, name, kind);
        return 1;
    }
    if (parseIeee(text.c_str(), ieee) != 0) {
        report(ERROR, "%s - bad IEEE address  '%s'", reader, text.c_str());
        return 1;
    }
    return 0;
}

int XMLMsgParser::parseAddress(const XMLElement* parent, const std::string& prefix,
                               const char* name, uint8_t& mode, uint8_t addr[8]) {
    const XMLElement* element = findChild("parseAddress", parent, prefix, name);
    if (element == nullptr) {
        return 1;
    }
    const XMLElement* child = element->FirstChildElement();
    if (child == nullptr) {
        report(ERROR, "parseAddress - No address info is empty");
        return 1;
    }
    const std::string kind = localName(child->Name());
    const std::string expected = prefix.empty() ? kind : prefix + ":" + kind;
    const std::string text = textOf(child);
    if (expected != child->Name()) {
        report(ERROR, "parseAddress - %s address type is unknown", child->Name());
        return 1;
    }
    if (kind == "IeeeAddress") {
        if (parseIeeeText("parseAddress", name, kind.c_str(), text, addr) != 0) {
            return 1;
        }
        mode = Message::ADDR_MODE_IEEE;
        return 0;
    }
    if (kind == "NetworkAddress") {
        if (text.empty()) {
            report(ERROR, "parseAddress - %s/%s is empty", name, kind.c_str());
            return 1;
        }
        unsigned long long value = 0;
        if (!parseDecimal64(text, value) || value > 0xFFFF) {
            report(ERROR, "parseAddress - bad nwk address  '%s'", text.c_str());
            return 1;
        }
        // Most significant byte first, as Message keeps 16-bit addresses.
        addr[0] = static_cast<uint8_t>(value >> 8);
        addr[1] = static_cast<uint8_t>(value);
        mode = Message::ADDR_MODE_NWK;
        return 0;
    }
    if (kind == "AliasAddress") {
        report(ERROR, "parseAddress - alias addresses not supported");
        return 1;
    }
    report(ERROR, "parseAddress - %s address type is unknown", kind.c_str());
    return 1;
}

int XMLMsgParser::parseDeviceElement(const XMLElement* parent, const std::string& prefix,
                                     const char* name, uint8_t ieee[8], long& endpoint) {
    const XMLElement* element = findChild("parseDeviceElement", parent, prefix, name);
    if (element == nullptr) {
        return 1;
    }
    if (element->FirstChildElement() == nullptr) {
        report(ERROR, "parseDeviceElement - No Device info (empty)");
        return 1;
    }
    const XMLElement* address = getNode(element, prefix, "Address");
    if (address == nullptr) {
        report(ERROR, "parseDeviceElement - %s address type is unknown",
               element->FirstChildElement()->Name());
        return 1;
    }
    // The number itself (the form a binding table is written in), or held in IeeeAddress as
    // in every other address of a request. A device is named by its IEEE address only.
    std::string text;
    if (const XMLElement* kind = address->FirstChildElement()) {
        const std::string expected = prefix.empty() ? "IeeeAddress" : prefix + ":IeeeAddress";
        if (expected != kind->Name() || kind->NextSiblingElement() != nullptr) {
            report(ERROR, "parseDeviceElement - %s address type is unknown", kind->Name());
            return 1;
        }
        text = textOf(kind);
    } else {
        text = textOf(address);
    }
    if (parseIeeeText("parseDeviceElement", name, "Address", text, ieee) != 0) {
        return 1;
    }
    if (getNode(element, prefix, "Endpoint") == nullptr) {
        report(ERROR, "parseDeviceElement - Endpoint not found!");
        return 1;
    }
    return parseLong(element, prefix, "Endpoint", endpoint, 10, 0, 255);
}
