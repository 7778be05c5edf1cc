#ifndef ORQ_XMLTEXT_H
#define ORQ_XMLTEXT_H

// Text helpers shared by the parser's source files; not part of the library's interface.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "XMLProcessor.h"

namespace xmltext {

// `text` without leading and trailing blanks, tabs and line ends.
inline std::string trimmed(const char* text) {
    if (text == nullptr) {
        return std::string();
    }
    const char* blanks = " \t\n\r";
    std::string s(text);
    const size_t first = s.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    const size_t last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

inline std::string textOf(const tinyxml2::XMLElement* element) {
    return element != nullptr ? trimmed(element->GetText()) : std::string();
}

// An element name without its prefix.
inline std::string localName(const char* name) {
    if (name == nullptr) {
        return std::string();
    }
    const char* colon = std::strchr(name, ':');
    return colon != nullptr ? std::string(colon + 1) : std::string(name);
}

// Decimal digits only (no sign, no blanks), within the range of unsigned long long.
inline bool parseDecimal64(const std::string& text, unsigned long long& value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    errno = 0;
    char* end = nullptr;
    value = std::strtoull(text.c_str(), &end, 10);
    return errno == 0 && end != nullptr && *end == '\0';
}

}  // namespace xmltext

// The document being read and its prefixes.
struct XMLMsgParser::Doc {
    tinyxml2::XMLDocument document;
    std::string rootName;
    std::string orqPrefix;
    std::string restPrefix;
};

#endif
