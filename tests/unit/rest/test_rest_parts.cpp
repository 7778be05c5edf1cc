// The REST server's and client's small parts: the "timeout" parameter of a request, and the
// URI listeners replies go to.

#include <gtest/gtest.h>

#include "CRESTServer.h"

namespace {

TEST(RESTCallbackInfo, TimeoutsAreHexadecimalSecondsWithZeroAndAllOnesForNever) {
    time_t clock = 1000;
    RESTCallbackInfo::now = [&clock] { return clock; };
    RESTCallbackInfo info;
    EXPECT_FALSE(info.expired());
    const struct {
        const char* value;
        unsigned timeout;
        time_t expiry;
    } cases[] = {{"1e", 30, 1030}, {"0x1E", 30, 1030},           {"0X0a", 10, 1010},
                 {"0", 0, -1},     {"ffffffff", 0xffffffff, -1}, {"FFFFFFFF", 0xffffffff, -1}};
    for (const auto& c : cases) {
        info.setTimeout(c.value);
        EXPECT_TRUE(info.timeoutSet) << c.value;
        EXPECT_EQ(c.timeout, info.timeout) << c.value;
        EXPECT_EQ(c.expiry, info.expiry) << c.value;
    }
    clock += 1000000;
    EXPECT_FALSE(info.expired());
    clock = 2000;
    info.setTimeout("5");
    clock = 2005;
    EXPECT_FALSE(info.expired());
    clock = 2006;
    EXPECT_TRUE(info.expired());
    // Bad values throw and leave the setting alone.
    for (const char* v : {"xyz", "1e ", "-1", "+5", "0x", "100000000", "12g"}) {
        try {
            info.setTimeout(v);
            ADD_FAILURE() << v << " accepted";
        } catch (const RESTException& e) {
            EXPECT_EQ(BAD_PARAMETER, e.eid);
            EXPECT_STREQ("Bad timeout parameter", e.message());
        }
        EXPECT_EQ(2005, info.expiry) << v;
    }
    info.setTimeout("");
    EXPECT_FALSE(info.timeoutSet);
    EXPECT_FALSE(info.expired());
    RESTCallbackInfo::now = [] { return time(nullptr); };
}

TEST(UriListener, LocalOnlyForLoopbackHostsAndOnlyHttpOrHttps) {
    const struct {
        const char* url;
        int type;
        bool allowed;
    } cases[] = {
        {"http://127.0.0.1:8080/x", 1, true},
        {"http://127.200.3.4/x", 1, true},
        {"https://localhost/x", 1, true},
        {"HTTPS://127.0.0.1:1/x", 1, true},
        {"http://LOCALHOST:80", 1, true},
        {"http://[::1]:80/", 1, true},
        {"http://192.0.2.1:8080/x", 2, true},
        {"http://128.0.0.1/x", 2, true},
        {"http://example.com/127.0.0.1", 2, true},
        {"http://localhost.example.com/", 2, true},
        // Hosts that only look local in the text.
        {"http://127.attacker.net/", 2, true},
        {"http://127.0.0.1.evil.example/", 2, true},
        {"http://127.0.0.1@evil.example/", 2, true},
        // Local by the host libcurl contacts (user "evil.example\\"), whatever others read.
        {"http://evil.example\\@127.0.0.1/", 1, true},
        {"ftp://127.0.0.1/", 2, false},
        {"file:///etc/passwd", 2, false},
        {"httpx://a", 2, false},
        {"http://", 2, false},
        {"", 2, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.type, listenerTypeOf(c.url)) << c.url;
        EXPECT_EQ(c.allowed, isAllowedListenerURL(c.url)) << c.url;
    }
}

class CountingHandback : public UriListenerHandback {
  public:
    explicit CountingHandback(int* l) : live(l) { ++*live; }
    CountingHandback(const CountingHandback& o) : UriListenerHandback(), live(o.live) { ++*live; }
    ~CountingHandback() override { --*live; }
    CountingHandback* clone() const override { return new CountingHandback(*this); }
    int* live;
};

TEST(UriListener, IdsComeFromACounterAndCopiesCloneTheHandback) {
    int live = 0;
    {
        uriListener_t a("http://127.0.0.1/a", new CountingHandback(&live));
        uriListener_t b("http://127.0.0.1/b", nullptr);
        EXPECT_EQ(8u, a.id.size());
        EXPECT_EQ(std::string::npos, a.id.find_first_not_of("0123456789abcdef"));
        EXPECT_EQ(std::stoul(a.id, nullptr, 16) + 1, std::stoul(b.id, nullptr, 16));
        uriListener_t copy(a);
        EXPECT_EQ(2, live);
        EXPECT_NE(a.hback, copy.hback);
        EXPECT_EQ(a.id, copy.id);
        uriListener_t c("http://h/", new CountingHandback(&live));
        c = a;
        EXPECT_EQ(3, live);
        EXPECT_EQ(a.URL, c.URL);
        c = c;
        EXPECT_EQ(3, live);
    }
    EXPECT_EQ(0, live);
}

}  // namespace
