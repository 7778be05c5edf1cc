// Parses arbitrary bodies as ZCL, ZDP and APS documents and composes every message
// document from what was accepted; the composed text, and an Info document carrying the
// raw input as its message, must always be well-formed XML.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <tinyxml2.h>

#include "CMessage.h"
#include "XMLProcessor.h"

namespace {
void requireWellFormed(const std::string& text) {
    tinyxml2::XMLDocument doc;
    const std::string wrapped = std::string("<w xmlns:orq=\"") + ORQ_GATEWAY_SCHEMA_URI +
                                "\" xmlns:tns=\"" + ORQ_REST_SCHEMA_URI + "\">" + text + "</w>";
    if (doc.Parse(wrapped.c_str(), wrapped.size()) != tinyxml2::XML_SUCCESS) {
        std::abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static XMLMsgParser parser;
    static XMLMsgComposer composer;
    const std::string text(reinterpret_cast<const char*>(data), size);
    composer.enableNamespaces(size % 2 == 0);

    Message zcl;
    if (parser.getZCLCommandToWSN(&zcl, text.c_str()) == 0) {
        requireWellFormed(composer.createZCLMessage(0, 1, &zcl));
        requireWellFormed(composer.createRXMessageMsg(&zcl));
    }
    Message zdp;
    if (parser.getZDPCommandToWSN(&zdp, text.c_str()) == 0) {
        requireWellFormed(composer.createZDPMessage(0, 1, &zdp));
    }
    Message aps;
    if (parser.getAPSMessageToWSN(&aps, text.c_str()) == 0) {
        requireWellFormed(composer.createRXMessageMsg(&aps));
        tinyxml2::XMLDocument doc;
        const std::string second = composer.createRXMessageMsg_BC(&aps);
        if (doc.Parse(second.c_str(), second.size()) != tinyxml2::XML_SUCCESS) {
            std::abort();
        }
    }

    // Any ASCII text (up to its first zero byte) as an error description survives
    // escaping; other bytes are passed through and may not be valid UTF-8.
    const std::string message(text.c_str());
    bool ascii = true;
    for (unsigned char c : message) {
        ascii = ascii && c < 0x80;
    }
    const std::string info = composer.createErrorMsg(2, message.c_str(), nullptr, nullptr);
    tinyxml2::XMLDocument doc;
    if (ascii && doc.Parse(info.c_str(), info.size()) != tinyxml2::XML_SUCCESS) {
        std::abort();
    }
    return 0;
}
