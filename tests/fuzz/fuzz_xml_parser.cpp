// Feeds arbitrary bytes to every document entry point of the XML parser. The first byte
// chooses the entry point; the rest is the request body. Texts the parser hands back are
// composed into a reply, which a strict parser must accept. The seed corpus in
// corpus/fuzz_xml_parser holds a valid document for every entry point.

#include <cstddef>
#include <cstdint>
#include <string>

#include "CMessage.h"
#include "StrictXml.h"
#include "XMLProcessor.h"
#include "ZbNetDb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    static XMLMsgParser parser;
    static XMLMsgComposer composer;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const char* body = text.c_str();
    switch (data[0] % 11) {
        case 0: {
            Message msg;
            parser.getZCLCommandToWSN(&msg, body);
            break;
        }
        case 1: {
            Message msg;
            parser.getZDPCommandToWSN(&msg, body);
            break;
        }
        case 2: {
            Message msg;
            parser.getAPSMessageToWSN(&msg, body);
            break;
        }
        case 3: {
            ZB_BIND_STRUCT bind = {};
            parser.getBindindCommand(&bind, body);
            break;
        }
        case 4: {
            SimpleDescriptor sd;
            parser.getSimpleDescriptor(&sd, body);
            break;
        }
        case 5: {
            int duration = 0;
            bool significance = false;
            parser.getJoiningInfoValues(&duration, &significance, body);
            break;
        }
        case 6: {
            Callback cb;
            if (parser.getCallback(&cb, body) == 0) {
                fuzzxml::requireStrictDocument(composer.createErrorMsg(
                    4, cb.action.forwardingSpecification.c_str(), nullptr, nullptr));
            }
            break;
        }
        case 7: {
            StartupAttributeInfo info;
            parser.getStartupAttributeInfo(&info, body);
            break;
        }
        case 8: {
            unsigned long value = 0;
            parser.getValue(value, body);
            break;
        }
        case 9: {
            std::string value;
            if (parser.getValue(value, body) == 0) {
                fuzzxml::requireStrictDocument(composer.createSuccessMsg(
                    composer.createGetAttributeMsg(value.c_str()).c_str(), nullptr, nullptr));
            }
            break;
        }
        default: {
            std::string value;
            if (parser.getValueAttribute(&value, &text) == 0) {
                fuzzxml::requireStrictDocument(
                    composer.createErrorMsg(4, value.c_str(), nullptr, nullptr));
            }
            break;
        }
    }
    return 0;
}
