#include <gtest/gtest.h>

#include "CQueryParser.h"

namespace {

TEST(QueryParser, ValueRunsToTheNextAmpersandOrTheEnd) {
    QueryParser qp;
    std::string out;
    EXPECT_TRUE(qp.getParameter("timeout", "timeout=1e&urilistener=http://h:1/p", out));
    EXPECT_EQ("1e", out);
    EXPECT_TRUE(qp.getParameter("urilistener", "timeout=1e&urilistener=http://h:1/p", out));
    EXPECT_EQ("http://h:1/p", out);
}

TEST(QueryParser, NameFollowedByAmpersandOrEndHasAnEmptyValue) {
    QueryParser qp;
    std::string out = "stale";
    EXPECT_TRUE(qp.getParameter("urilistener", "urilistener&timeout=5", out));
    EXPECT_EQ("", out);
    EXPECT_TRUE(qp.getParameter("timeout", "urilistener&timeout=5", out));
    EXPECT_EQ("5", out);
    EXPECT_TRUE(qp.getParameter("freshness", "a=1&freshness", out));
    EXPECT_EQ("", out);
    EXPECT_TRUE(qp.getParameter("x", "x=", out));
    EXPECT_EQ("", out);
}

TEST(QueryParser, FirstOccurrenceFollowedBySeparatorCounts) {
    QueryParser qp;
    std::string out;
    // "timeouts" does not count: the name must be followed by "=", "&" or the end.
    EXPECT_TRUE(qp.getParameter("timeout", "timeouts=9&timeout=3", out));
    EXPECT_EQ("3", out);
    // Substring search: a longer parameter ending in the name counts.
    EXPECT_TRUE(qp.getParameter("timeout", "mytimeout=7&timeout=3", out));
    EXPECT_EQ("7", out);
}

TEST(QueryParser, PercentEscapesInValuesAreDecoded) {
    QueryParser qp;
    std::string out;
    EXPECT_TRUE(
        qp.getParameter("urilistener", "urilistener=http%3A%2F%2Fh%3a1%2Fp%3Fa%3D1&t=1", out));
    EXPECT_EQ("http://h:1/p?a=1", out);
    const struct {
        const char* raw;
        const char* decoded;
    } cases[] = {
        {"http://h:1/p", "http://h:1/p"},  // raw values are unchanged
        {"a+b", "a+b"},
        {"100%", "100%"},
        {"%4", "%4"},
        {"%zz%41", "%zzA"},
        {"%00x", "%00x"},  // no zero bytes in values
        {"%25%32%35", "%25"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.decoded, QueryParser::decode(c.raw)) << c.raw;
    }
}

TEST(QueryParser, AbsentOrNullGivesFalseAndEmptyValue) {
    QueryParser qp;
    std::string out = "stale";
    EXPECT_FALSE(qp.getParameter("timeout", "urilistener=x", out));
    EXPECT_EQ("", out);
    EXPECT_FALSE(qp.getParameter("timeout", "", out));
    EXPECT_FALSE(qp.getParameter(nullptr, "a=1", out));
    EXPECT_FALSE(qp.getParameter("a", nullptr, out));
    EXPECT_FALSE(qp.isParameterPresent(nullptr, "a"));
    EXPECT_FALSE(qp.isParameterPresent("a", nullptr));
    EXPECT_FALSE(qp.isParameterPresent("zz", "timeout=1"));
    EXPECT_EQ(QueryParser::getQueryParser(), QueryParser::getQueryParser());
}

TEST(QueryParser, APresentParameterIsOneOfTheQuerysNamesNotAPieceOfAnother) {
    QueryParser qp;
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
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qp.isParameterPresent(c.name, c.query), c.present) << c.name << " in " << c.query;
    }
}

}  // namespace
