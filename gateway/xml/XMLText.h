#ifndef ORQ_XMLTEXT_H
#define ORQ_XMLTEXT_H

// Text helpers shared by the parser's and the composer's source files; not part of the
// library's interface.

#include <cctype>
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

// XML 1.0 characters: tab, line feed, carriage return, and U+0020 up, less the surrogates,
// U+FFFE and U+FFFF.
inline bool isXmlChar(unsigned long c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Decodes the UTF-8 character at `p` (of `n` bytes left) into `c`; returns its length, or 0
// when the bytes there are not a well-formed sequence (stray or missing continuation
// bytes, overlong forms, surrogates, values beyond U+10FFFF).
inline size_t decodeUtf8(const unsigned char* p, size_t n, unsigned long& c) {
    if (n == 0) {
        return 0;
    }
    if (p[0] < 0x80) {
        c = p[0];
        return 1;
    }
    size_t length;
    unsigned long min;
    if ((p[0] & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
        c = p[0] & 0x1F;
    } else if ((p[0] & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
        c = p[0] & 0x0F;
    } else if ((p[0] & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
        c = p[0] & 0x07;
    } else {
        return 0;
    }
    if (n < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return 0;
        }
        c = (c << 6) | (p[i] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// Where `text` stops being text an XML parser must accept: bytes that are not UTF-8,
// characters XML cannot carry, and character references ("&#0;", "&#xD800;") to such
// characters, outside comments and CDATA sections. std::string::npos when all is well.
inline size_t invalidXmlTextAt(const char* text, size_t length) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < length;) {
        if (std::strncmp(text + i, "<!--", 4) == 0 || std::strncmp(text + i, "<![CDATA[", 9) == 0) {
            const char* end = std::strstr(text + i, text[i + 2] == '-' ? "-->" : "]]>");
            // The characters inside are checked as any others; only references are not
            // references there.
            size_t stop = end != nullptr ? static_cast<size_t>(end - text) : length;
            for (size_t k = i; k < stop;) {
                unsigned long c = 0;
                size_t n = decodeUtf8(p + k, length - k, c);
                if (n == 0 || !isXmlChar(c)) {
                    return k;
                }
                k += n;
            }
            i = stop;
            continue;
        }
        if (text[i] == '&' && i + 1 < length && text[i + 1] == '#') {
            size_t k = i + 2;
            bool hex = k < length && text[k] == 'x';
            k += hex ? 1 : 0;
            unsigned long c = 0;
            size_t digits = 0;
            for (; k < length && std::isxdigit(p[k]) != 0 && (hex || std::isdigit(p[k]) != 0);
                 ++k, ++digits) {
                c = c * (hex ? 16 : 10) +
                    static_cast<unsigned long>(std::isdigit(p[k]) != 0 ? p[k] - '0'
                                                                       : (p[k] | 0x20) - 'a' + 10);
                if (c > 0x10FFFF) {
                    return i;
                }
            }
            if (digits == 0 || k >= length || text[k] != ';' || !isXmlChar(c)) {
                return i;
            }
            i = k + 1;
            continue;
        }
        unsigned long c = 0;
        size_t n = decodeUtf8(p + i, length - i, c);
        if (n == 0 || !isXmlChar(c)) {
            return i;
        }
        i += n;
    }
    return std::string::npos;
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
