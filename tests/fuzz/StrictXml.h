#ifndef ORQ_TESTS_FUZZ_STRICT_XML_H
#define ORQ_TESTS_FUZZ_STRICT_XML_H

// The check the XML fuzz targets apply to what the composer writes: a strict parser (expat,
// which refuses bytes that are not UTF-8 and characters XML cannot carry) must accept it.

#include <expat.h>

#include <cstdlib>
#include <string>

#include "XMLProcessor.h"

namespace fuzzxml {

inline void requireStrictDocument(const std::string& doc) {
    XML_Parser p = XML_ParserCreate(nullptr);
    const bool ok = XML_Parse(p, doc.data(), static_cast<int>(doc.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    if (!ok) {
        std::abort();
    }
}

// A fragment, inside a root that binds both prefixes.
inline void requireStrictFragment(const std::string& fragment) {
    requireStrictDocument(std::string("<w xmlns:orq=\"") + ORQ_GATEWAY_SCHEMA_URI +
                          "\" xmlns:tns=\"" + ORQ_REST_SCHEMA_URI + "\">" + fragment + "</w>");
}

}  // namespace fuzzxml

#endif
