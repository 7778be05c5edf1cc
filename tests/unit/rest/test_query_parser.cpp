#include <gtest/gtest.h>

#include "CQueryParser.h"

namespace {

TEST(QueryParser, ParametersAreFoundByNameAndTheirValuesDecoded) {
    const struct {
        const char* name;
        const char* query;
        bool found;
        const char* value;
    } cases[] = {
        {"timeout", "timeout=1e&urilistener=http://h:1/p", true, "1e"},
        {"urilistener", "timeout=1e&urilistener=http://h:1/p", true, "http://h:1/p"},
        {"urilistener", "urilistener&timeout=5", true, ""},
        {"timeout", "urilistener&timeout=5", true, "5"},
        {"freshness", "a=1&freshness", true, ""},
        {"x", "x=", true, ""},
        // The name must be followed by "=", "&" or the end; a longer one ending in it counts.
        {"timeout", "timeouts=9&timeout=3", true, "3"},
        {"timeout", "mytimeout=7&timeout=3", true, "7"},
        {"urilistener", "urilistener=http%3A%2F%2Fh%3a1%2Fp%3Fa%3D1&t=1", true, "http://h:1/p?a=1"},
        {"v", "v=a+b", true, "a+b"},
        {"v", "v=100%", true, "100%"},
        {"v", "v=%4", true, "%4"},
        {"v", "v=%zz%41%7e", true, "%zzA~"},
        {"v", "v=%00x", true, "%00x"},  // no zero bytes in values
        {"v", "v=%25%32%35", true, "%25"},
        {"timeout", "urilistener=x", false, ""},
        {"timeout", "", false, ""},
        {nullptr, "a=1", false, ""},
        {"a", nullptr, false, ""},
    };
    QueryParser qp;
    for (const auto& c : cases) {
        std::string out = "stale";
        EXPECT_EQ(c.found, qp.getParameter(c.name, c.query, out)) << c.query;
        EXPECT_EQ(c.value, out) << c.query;
    }
}

TEST(QueryParser, APresentParameterIsOneOfTheQuerysNamesNotAPieceOfAnother) {
    const struct {
        const char* name;
        const char* query;
        bool present;
    } cases[] = {
        {"inquiry", "inquiry", true},
        {"inquiry", "inquiry&urilistener=http://h/x&timeout=ea60", true},
        {"lqi", "timeout=1&lqi", true},
        {"lqi", "lqi=1", true},
        {"out", "timeout=1", false},
        // A listener whose URL holds the name asks for nothing.
        {"lqi", "inquiry&urilistener=http://h/lqi", false},
        {"lqi", "urilistener=http://h/x?lqi&timeout=1", false},
        {"restart", "norestart", false},
        {"", "a", false},
        {nullptr, "a", false},
        {"a", nullptr, false},
    };
    QueryParser qp;
    for (const auto& c : cases) {
        EXPECT_EQ(c.present, qp.isParameterPresent(c.name, c.query)) << c.query;
    }
}

}  // namespace
