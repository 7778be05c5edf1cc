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
            out = decode(std::string(
                value, end != nullptr ? static_cast<size_t>(end - value) : strlen(value)));
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

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string QueryParser::decode(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        int high = i + 2 < value.size() && value[i] == '%' ? hexDigit(value[i + 1]) : -1;
        int low = high >= 0 ? hexDigit(value[i + 2]) : -1;
        if (low >= 0 && (high | low) != 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

bool QueryParser::isParameterPresent(const char* name, const char* query) const {
    if (name == nullptr || query == nullptr || *name == '\0') {
        return false;
    }
    // A parameter of that name, not the name inside another one or inside a value (a
    // listener URL ending in "/lqi" does not ask for an LQI walk).
    const size_t nameLen = strlen(name);
    for (const char* p = strstr(query, name); p != nullptr; p = strstr(p + 1, name)) {
        const char after = p[nameLen];
        if ((p == query || p[-1] == '&') && (after == '\0' || after == '&' || after == '=')) {
            return true;
        }
    }
    return false;
}
