#ifndef ORQ_CQUERYPARSER_H
#define ORQ_CQUERYPARSER_H

#include <string>

#include "CDebug.h"

// Reads parameters from a raw query string ("a=1&b&c=x"). Stateless after construction, so
// any thread may use it. One process-wide instance (getQueryParser()); tests may make their own.
class QueryParser {
  public:
    QueryParser();
    static QueryParser* getQueryParser();

    void init() {}

    // True when `name` occurs in `query` followed by "=", "&" or the end; `out` gets the
    // value (the text after "=" up to the next "&" or the end, with each "%XX" escape
    // decoded; an incomplete escape, and "%00", stay as they are), empty otherwise. The first
    // such occurrence counts; the name is searched as a substring. Null arguments: false.
    bool getParameter(const char* name, const char* query, std::string& out) const;
    // True when `query` has a parameter `name` (at its start or after "&", followed by "=",
    // "&" or the end), with or without a value.
    bool isParameterPresent(const char* name, const char* query) const;
    // `value` with its "%XX" escapes decoded, as getParameter gives it.
    static std::string decode(const std::string& value);

  private:
    mutable Debug pLogger{"QueryParser"};
    bool debugEnabled = false;
};

#endif
