#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "CDebug.h"
#include "CMessage.h"
#include "XMLProcessor.h"
#include "XMLText.h"

XMLMsgComposer* XMLMsgComposer::pInstance = nullptr;

namespace {
const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
const char kOrqPrefix[] = "orq";
const char kRestPrefix[] = "tns";

std::string hexBytes(const uint8_t* bytes, size_t length, bool upper) {
    static const char lowerDigits[] = "0123456789abcdef";
    static const char upperDigits[] = "0123456789ABCDEF";
    const char* digits = upper ? upperDigits : lowerDigits;
    std::string out;
    if (bytes == nullptr) {
        return out;
    }
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

std::string formatted(const char* format, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Appends `lead` prefix ":" name `tail`, without the prefix and colon when `prefix` is null.
void appendMarkup(std::string& out, const char* lead, const char* prefix, const char* name,
                  const char* tail) {
    out += lead;
    if (prefix != nullptr) {
        out += prefix;
        out += ':';
    }
    out += name;
    out += tail;
}

std::string markup(const char* lead, const char* prefix, const char* name, const char* tail) {
    std::string tag;
    appendMarkup(tag, lead, prefix, name, tail);
    return tag;
}

// The length of an element's two tags.
size_t tagsLength(const char* prefix, const char* name) {
    return 2 * (std::strlen(name) + (prefix != nullptr ? std::strlen(prefix) + 1 : 0)) + 5;
}
}  // namespace

XMLMsgComposer::MessageBytes::MessageBytes(const Message& message) {
    src = message.getSrcAddr(&srcLength);
    dst = message.getDstAddr(&dstLength);
    payload = message.getPayload(&payloadLength);
    // A missing buffer counts as empty, whatever length the record gives.
    srcLength = src != nullptr ? srcLength : 0;
    dstLength = dst != nullptr ? dstLength : 0;
    payloadLength = payload != nullptr ? payloadLength : 0;
}

XMLMsgComposer* XMLMsgComposer::Instance() {
    // Made once, on first use; lives until the process ends.
    static XMLMsgComposer* instance = [] {
        auto* composer = new XMLMsgComposer();
        pInstance = composer;
        return composer;
    }();
    return instance;
}

XMLMsgComposer::XMLMsgComposer() : pLogger(std::make_unique<Debug>("XMLMsgComposer")) {
    configureLogger(*pLogger, nullptr, 0);
    debugEnabled = pLogger->getDebugMode() == 1;
    enableNamespaces(false);
}

XMLMsgComposer::~XMLMsgComposer() = default;

void XMLMsgComposer::init() {
    ORQ_LOG(*pLogger, DEBUG, "init");
}

void XMLMsgComposer::enableNamespaces(bool enable) {
    orqPrefix = enable ? kOrqPrefix : nullptr;
    restPrefix = enable ? kRestPrefix : nullptr;
}

unsigned long XMLMsgComposer::hexStringToInt(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    unsigned long value = 0;
    if (std::sscanf(text, "%lx", &value) != 1) {
        return 0;
    }
    return value;
}

unsigned long long XMLMsgComposer::ieeeAddrToULongLong(const uint8_t* bytes) {
    unsigned long long value = 0;
    if (bytes == nullptr) {
        return 0;
    }
    for (int i = 0; i < 8; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

std::string XMLMsgComposer::escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        unsigned long c = 0;
        const size_t n = xmltext::decodeUtf8(bytes + i, text.size() - i, c);
        if (n == 0) {
            // Not UTF-8: each byte that starts no character becomes one '?'.
            out += '?';
            ++i;
            continue;
        }
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (!xmltext::isXmlChar(c)) {
            out += '?';
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

void XMLMsgComposer::appendOpen(std::string& out, const char* prefix, const char* name) const {
    appendMarkup(out, "<", prefix, name, ">");
}

void XMLMsgComposer::appendClose(std::string& out, const char* prefix, const char* name) const {
    appendMarkup(out, "</", prefix, name, ">");
}

void XMLMsgComposer::appendElement(std::string& out, const char* prefix, const char* name,
                                   const char* content, size_t length) const {
    appendOpen(out, prefix, name);
    out.append(content, length);
    appendClose(out, prefix, name);
}

void XMLMsgComposer::appendUnsignedElement(std::string& out, const char* prefix, const char* name,
                                           unsigned long long value) const {
    char digits[24];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
    appendElement(out, prefix, name, digits, static_cast<size_t>(end.ptr - digits));
}

std::string XMLMsgComposer::open(const char* prefix, const char* name) const {
    return markup("<", prefix, name, ">");
}

std::string XMLMsgComposer::close(const char* prefix, const char* name) const {
    return markup("</", prefix, name, ">");
}

std::string XMLMsgComposer::emptyElement(const char* prefix, const char* name) const {
    return markup("<", prefix, name, "/>");
}

std::string XMLMsgComposer::element(const char* prefix, const char* name,
                                    const std::string& content) const {
    std::string out;
    out.reserve(content.size() + tagsLength(prefix, name));
    appendElement(out, prefix, name, content.data(), content.size());
    return out;
}

std::string XMLMsgComposer::textElement(const char* prefix, const char* name,
                                        const std::string& text) const {
    return element(prefix, name, escape(text));
}

std::string XMLMsgComposer::numberElement(const char* prefix, const char* name,
                                          long long value) const {
    return element(prefix, name, std::to_string(value));
}

std::string XMLMsgComposer::unsignedElement(const char* prefix, const char* name,
                                            unsigned long long value) const {
    std::string out;
    appendUnsignedElement(out, prefix, name, value);
    return out;
}

std::string XMLMsgComposer::booleanElement(const char* prefix, const char* name, bool value) const {
    return element(prefix, name, value ? "true" : "false");
}

std::string XMLMsgComposer::hexElement(const char* prefix, const char* name, const uint8_t* bytes,
                                       size_t length) const {
    return element(prefix, name, hexBytes(bytes, length, false));
}

bool XMLMsgComposer::haveMessage(const Message* message) const {
    if (message == nullptr) {
        ORQ_LOG(*pLogger, WARN, "WARNING: Message Empty!\n");
        return false;
    }
    return true;
}

std::string XMLMsgComposer::addressByMode(const char* name, uint8_t mode, const uint8_t* addr,
                                          int length) const {
    std::string content;
    if (mode == Message::ADDR_MODE_NWK && addr != nullptr && length >= 2) {
        content = unsignedElement(orqPrefix, "NetworkAddress",
                                  (static_cast<unsigned>(addr[0]) << 8) | addr[1]);
    } else if (mode == Message::ADDR_MODE_IEEE && addr != nullptr && length >= 8) {
        content = unsignedElement(orqPrefix, "IeeeAddress", ieeeAddrToULongLong(addr));
    }
    return element(orqPrefix, name, content);
}

std::string XMLMsgComposer::createRestInfoMsg(int code, const char* message, const char* detail,
                                              const char* requestIdentifier,
                                              const char* eventCallbackIdentifier,
                                              const char* nwkStatus) {
    ORQ_LOG(*pLogger, DEBUG, "createRestInfoMsg");
    const size_t detailLength = detail != nullptr ? std::strlen(detail) : 0;
    std::string out;
    // The detail (a node list may be hundreds of kilobytes) is copied once, into a buffer
    // that already has room for the rest.
    out.reserve(detailLength + 512);
    out += kDeclaration;
    out += '\n';
    if (restPrefix != nullptr) {
        out += "<";
        out += restPrefix;
        out += ":Info xmlns:";
        out += orqPrefix;
        out += "=\"";
        out += ORQ_GATEWAY_SCHEMA_URI;
        out += "\" xmlns:";
        out += restPrefix;
        out += "=\"";
        out += ORQ_REST_SCHEMA_URI;
        out += "\">\n";
    } else {
        out += "<Info>\n";
    }
    std::string status = numberElement(restPrefix, "Code", code);
    if (message != nullptr) {
        status += textElement(restPrefix, "Message", message);
    }
    appendElement(out, restPrefix, "Status", status.data(), status.size());
    if (detail != nullptr) {
        appendElement(out, restPrefix, "Detail", detail, detailLength);
    }
    if (requestIdentifier != nullptr) {
        out += textElement(restPrefix, "RequestIdentifier", requestIdentifier);
    }
    if (eventCallbackIdentifier != nullptr) {
        out += unsignedElement(restPrefix, "EventCallbackIdentifier",
                               hexStringToInt(eventCallbackIdentifier));
    }
    if (nwkStatus != nullptr) {
        out += textElement(restPrefix, "NWKStatus", nwkStatus);
    }
    out += '\n';
    out += close(restPrefix, "Info");
    return out;
}

std::string XMLMsgComposer::createSuccessMsg(const char* detail, const char* nwkStatus,
                                             const char* requestIdentifier) {
    return createRestInfoMsg(0, nullptr, detail, requestIdentifier, nullptr, nwkStatus);
}

std::string XMLMsgComposer::createErrorMsg(int code, const char* message, const char* nwkStatus,
                                           const char* requestIdentifier) {
    return createRestInfoMsg(code, message, nullptr, requestIdentifier, nullptr, nwkStatus);
}

std::string XMLMsgComposer::createVersionMsg() {
    ORQ_LOG(*pLogger, DEBUG, "createVersionMsg");
    return element(restPrefix, "Version",
                   numberElement(orqPrefix, "VersionIdentifier", 1) +
                       numberElement(orqPrefix, "FeatureSetIdentifier", 0) +
                       element(orqPrefix, "RPCProtocol", "REST") +
                       element(orqPrefix, "ManufacturerVersion", "5.3.15"));
}

std::string XMLMsgComposer::createGetAttributeMsg(const char* value) {
    ORQ_LOG(*pLogger, DEBUG, "createGetAttributeMsg");
    return textElement(restPrefix, "Value", value != nullptr ? value : "");
}

std::string XMLMsgComposer::setAttributeMsg() {
    ORQ_LOG(*pLogger, DEBUG, "setAttributeMsg");
    return std::string();
}

std::string XMLMsgComposer::createGenericResponseMsg() {
    ORQ_LOG(*pLogger, DEBUG, "createGenericResponseMsg");
    return std::string();
}

std::string XMLMsgComposer::createActiveEndPointLocalNodeMsg(int count, const int* endPoints) {
    ORQ_LOG(*pLogger, DEBUG, "createActiveEndPointLocalNodeMsg");
    std::string content = element(orqPrefix, "Address", element(orqPrefix, "NetworkAddress", "0"));
    for (int i = 0; endPoints != nullptr && i < count; ++i) {
        content += element(orqPrefix, "ActiveEndpoints",
                           numberElement(orqPrefix, "EndPoint", endPoints[i]));
    }
    return element(restPrefix, "NodeServices", content);
}

std::string XMLMsgComposer::createCallbackIdentifierMsg(const char* id) {
    ORQ_LOG(*pLogger, DEBUG, "createCallbackIdentifierMsg");
    return unsignedElement(restPrefix, "CallbackIdentifier", hexStringToInt(id));
}

std::string XMLMsgComposer::createCallbacksMsg(const std::vector<std::string>& ids) {
    ORQ_LOG(*pLogger, DEBUG, "createCallbacksMsg");
    std::string content;
    for (const std::string& id : ids) {
        content += unsignedElement(orqPrefix, "CallbackIdentifier", hexStringToInt(id.c_str()));
    }
    return element(restPrefix, "Callbacks", content);
}

std::string XMLMsgComposer::createAPSResultMsg(int confirmStatus, unsigned int txTime) {
    ORQ_LOG(*pLogger, DEBUG, "createAPSResultMsg");
    return element(restPrefix, "APSMessageResult",
                   numberElement(orqPrefix, "ConfirmStatus", confirmStatus) +
                       unsignedElement(orqPrefix, "TxTime", txTime));
}

std::string XMLMsgComposer::createZCLMessage(int apsStatus, unsigned int rxTime, Message* message) {
    ORQ_LOG(*pLogger, DEBUG, "createZCLMessage");
    if (!haveMessage(message)) {
        return std::string();
    }
    const MessageBytes bytes(*message);
    const bool hasSource = bytes.srcLength > 0;
    constexpr uint16_t kHeaderLength = 6;

    std::string content = unsignedElement(orqPrefix, "RxTime", rxTime);
    content += numberElement(orqPrefix, "DestinationEndpoint", message->getDstEp());
    if (hasSource) {
        content += hexElement(orqPrefix, "SourceAddress", bytes.src, bytes.srcLength);
    } else {
        ORQ_LOG(*pLogger, DEBUG,
                "############## SourceAddress not specified!! ###################\n");
        content += numberElement(orqPrefix, "SourceAddress", 0);
    }
    content += numberElement(orqPrefix, "SourceEndpoint", message->getSrcEp());
    content += numberElement(orqPrefix, "ProfileID", message->getProfileId());
    content += numberElement(orqPrefix, "ClusterID", message->getClusterId());
    if (bytes.payloadLength > kHeaderLength) {
        content += hexElement(orqPrefix, "ZCLPayload", bytes.payload + kHeaderLength,
                              bytes.payloadLength - kHeaderLength);
    } else {
        content += hexElement(orqPrefix, "ZCLPayload", nullptr, 0);
    }
    content += numberElement(orqPrefix, "APSStatus", apsStatus);
    if (hasSource) {
        content += numberElement(orqPrefix, "SourceAddressMode", message->getSrcAddrMode());
    } else {
        ORQ_LOG(*pLogger, DEBUG,
                "############## SourceAddressMode not specified!! ###################\n");
        content += numberElement(orqPrefix, "SourceAddressMode", Message::ADDR_MODE_NWK);
    }
    const uint16_t headerLength =
        bytes.payloadLength < kHeaderLength ? bytes.payloadLength : kHeaderLength;
    content += hexElement(orqPrefix, "ZCLHeader", bytes.payload, headerLength);
    return element(orqPrefix, "ZCLMessage", content);
}

std::string XMLMsgComposer::createZDPMessage(int apsStatus, unsigned int rxTime, Message* message) {
    (void)apsStatus;  // the ZDP reply carries no APS status
    ORQ_LOG(*pLogger, DEBUG, "createZDPMessage");
    if (!haveMessage(message)) {
        return std::string();
    }
    const MessageBytes bytes(*message);
    std::string content = hexElement(orqPrefix, "SourceAddress", bytes.src, bytes.srcLength);
    content += numberElement(orqPrefix, "SourceAddressMode", Message::ADDR_MODE_NWK);
    content += unsignedElement(orqPrefix, "RxTime", rxTime);
    content += numberElement(orqPrefix, "ClusterID", message->getClusterId());
    content += hexElement(orqPrefix, "Command", bytes.payload, bytes.payloadLength);
    return element(orqPrefix, "ZDPMessage", content);
}

std::string XMLMsgComposer::createRXMessageMsg(Message* message) {
    ORQ_LOG(*pLogger, DEBUG, "createRXMessageMsg");
    if (!haveMessage(message)) {
        return std::string();
    }
    const MessageBytes bytes(*message);
    std::string content =
        numberElement(orqPrefix, "DestinationAddressMode", message->getDstAddrMode());
    content +=
        addressByMode("DestinationAddress", message->getDstAddrMode(), bytes.dst, bytes.dstLength);
    content += numberElement(orqPrefix, "DestinationEndpoint", message->getDstEp());
    content += numberElement(orqPrefix, "SourceAddressMode", message->getSrcAddrMode());
    content +=
        addressByMode("SourceAddress", message->getSrcAddrMode(), bytes.src, bytes.srcLength);
    content += numberElement(orqPrefix, "SourceEndpoint", message->getSrcEp());
    content += numberElement(orqPrefix, "ProfileID", message->getProfileId());
    content += numberElement(orqPrefix, "ClusterID", message->getClusterId());
    content += hexElement(orqPrefix, "Data", bytes.payload, bytes.payloadLength);
    content += numberElement(orqPrefix, "APSStatus", 0);
    content += element(orqPrefix, "SecurityStatus", "SecuredNwkKey");
    content += numberElement(orqPrefix, "LinkQuality", 255);
    content += numberElement(orqPrefix, "RxTime", static_cast<long long>(std::time(nullptr)));
    return element(restPrefix, "APSMessageEvent", content);
}

std::string XMLMsgComposer::createPolledAPSMessage(const std::string& text) {
    ORQ_LOG(*pLogger, DEBUG, "createPolledAPSMessage");
    return element(restPrefix, "PolledMessage",
                   element(orqPrefix, "AppliedDecodeSpecification", "DecodeMAC") + text);
}

std::string XMLMsgComposer::createWsncWSNConnEventMsg(int endPoint, const char* uriListener,
                                                      const char* status) {
    ORQ_LOG(*pLogger, DEBUG, "createWsncWSNConnEventMsg");
    char number[16];
    std::snprintf(number, sizeof number, "%3d", endPoint);
    std::string out = "<WsncWSNConnectionEvent>";
    out += element(nullptr, "Endpoint", number);
    out += textElement(nullptr, "URIListener", uriListener != nullptr ? uriListener : "");
    out += textElement(nullptr, "WSNConnectionStatus", status != nullptr ? status : "");
    out += "</WsncWSNConnectionEvent>";
    return out;
}

std::string XMLMsgComposer::createResourceInfoMsg(const std::vector<std::string>& childNames) {
    ORQ_LOG(*pLogger, DEBUG, "createResourceInfoMsg");
    std::string out;
    for (const std::string& name : childNames) {
        out += "<Resource><ResourceId>" + escape(name) + "</ResourceId></Resource>\n";
    }
    return out;
}

std::string XMLMsgComposer::createRXMessageMsg_BC(Message* message) {
    ORQ_LOG(*pLogger, DEBUG, "createRXMessageMsg_BC");
    if (!haveMessage(message)) {
        return std::string();
    }
    const MessageBytes bytes(*message);
    ORQ_LOG(*pLogger, DEBUG, "srcAddrLength = %d", bytes.srcLength);
    ORQ_LOG(*pLogger, DEBUG, "dstAddrLength = %d", bytes.dstLength);
    ORQ_LOG(*pLogger, DEBUG, "payloadLength = %d\n", bytes.payloadLength);

    std::string source = "zigbee://" + hexBytes(bytes.src, bytes.srcLength, true) + ":" +
                         formatted("%02X", message->getSrcEp());
    std::string destination = "zigbee://";
    for (int i = bytes.dstLength - 1; i >= 0; --i) {
        destination += formatted("%02X", bytes.dst[i]);
    }
    destination += ":" + formatted("%02X", message->getDstEp());

    std::string rx = element(nullptr, "SourceURL", source);
    rx += element(nullptr, "DestinationURL", destination);
    rx += element(nullptr, "ProfileId", formatted("%02X", message->getProfileId()));
    rx += element(nullptr, "ClusterId", formatted("%02X", message->getClusterId()));
    rx += element(nullptr, "MsgId", std::to_string(message->getMsgId()));
    rx += element(nullptr, "Payload", hexBytes(bytes.payload, bytes.payloadLength, true));
    return std::string(kDeclaration) +
           element(nullptr, "Message", element(nullptr, "RXMessage", rx));
}
