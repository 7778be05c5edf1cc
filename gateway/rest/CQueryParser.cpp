#include "CQueryParser.h"

#include <cstring>

QueryParser::QueryParser() {
    configureLogger(pLogger, nullptr, 0);
    debugEnabled = pLogger.getDebugMode() != 0;
}

QueryParser* QueryParser::getQueryParser() {
    static QueryParser instance;
    return &instance;
}

bool QueryParser::getParameter(const char* name, const char* query, std::string& out) const {
    out.clear();
    if (name == nullptr || query == nullptr || *name == '\0') {
        return false;
    }
    const size_t nameLen = strlen(name);
    for (const char* p = strstr(query, name); p != nullptr; p = strstr(p + 1, name)) {
        const char* after = p + nameLen;
        if (*after == '=') {
            const char* value = after + 1;
            const char* end = strchr(value, '&');
            out.assign(value, end != nullptr ? static_cast<size_t>(end - value) : strlen(value));
            ORQ_LOG(pLogger, DEBUG, "getParameter - %s = %s", name, out.c_str());
            return true;
        }
        if (*after == '&' || *after == '\0') {
            ORQ_LOG(pLogger, DEBUG, "getParameter - %s has no value", name);
            return true;
        }
    }
    return false;
}

bool QueryParser::isParameterPresent(const char* name, const char* query) const {
    if (name == nullptr || query == nullptr) {
        return false;
    }
    return strstr(query, name) != nullptr;
}
