// Query strings, timeout values, port lists and listener URLs: the texts that clients and
// the configuration hand to the REST layer.

#include <cstddef>
#include <cstdint>
#include <string>

#include "CQueryParser.h"
#include "CRESTClient.h"
#include "CRESTServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string query = text.substr(0, text.find('\0'));
    static QueryParser parser;
    std::string value;
    for (const char* name : {"urilistener", "timeout", "freshness", ""}) {
        if (parser.getParameter(name, query.c_str(), value) && value.size() > query.size()) {
            __builtin_trap();
        }
        parser.isParameterPresent(name, query.c_str());
    }
    RESTCallbackInfo info;
    try {
        info.setTimeout(query);
        if (info.timeout > 0xFFFFFFFFUL) {
            __builtin_trap();
        }
    } catch (const RESTException& e) {
        if (e.eid != BAD_PARAMETER) {
            __builtin_trap();
        }
    }
    std::string ports = RESTServer::removeSecurePortMarks(text);
    if (ports.find_first_of("sS \t") != std::string::npos) {
        __builtin_trap();
    }
    int type = listenerTypeOf(text);
    if (type != 1 && type != 2) {
        __builtin_trap();
    }
    return 0;
}
