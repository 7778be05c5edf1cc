// Parses arbitrary bodies as ZCL, ZDP and APS documents and composes every message
// document from what was accepted; the composed text, and an Info document carrying the
// raw input (any bytes) as its message, must always be well-formed UTF-8 XML to a strict
// parser.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CMessage.h"
#include "StrictXml.h"
#include "XMLProcessor.h"

using fuzzxml::requireStrictDocument;
using fuzzxml::requireStrictFragment;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static XMLMsgParser parser;
    static XMLMsgComposer composer;
    const std::string text(reinterpret_cast<const char*>(data), size);
    composer.enableNamespaces(size % 2 == 0);

    Message zcl;
    if (parser.getZCLCommandToWSN(&zcl, text.c_str()) == 0) {
        requireStrictFragment(composer.createZCLMessage(0, 1, &zcl));
        requireStrictFragment(composer.createRXMessageMsg(&zcl));
    }
    Message zdp;
    if (parser.getZDPCommandToWSN(&zdp, text.c_str()) == 0) {
        requireStrictFragment(composer.createZDPMessage(0, 1, &zdp));
    }
    Message aps;
    if (parser.getAPSMessageToWSN(&aps, text.c_str()) == 0) {
        requireStrictFragment(composer.createRXMessageMsg(&aps));
        requireStrictDocument(composer.createRXMessageMsg_BC(&aps));
    }

    // Whatever bytes a client sent, as an error description (up to its first zero byte).
    const std::string message(text.c_str());
    requireStrictDocument(composer.createErrorMsg(2, message.c_str(), nullptr, nullptr));
    requireStrictDocument(composer.createSuccessMsg(
        composer.createGetAttributeMsg(text.c_str()).c_str(), nullptr, message.c_str()));
    return 0;
}
