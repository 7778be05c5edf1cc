#include <gtest/gtest.h>

#include "CRESTClient.h"

namespace {

class CountingHandback : public UriListenerHandback {
  public:
    explicit CountingHandback(int* l) : live(l) { ++*live; }
    CountingHandback(const CountingHandback& o) : UriListenerHandback(), live(o.live) { ++*live; }
    ~CountingHandback() override { --*live; }
    CountingHandback* clone() const override { return new CountingHandback(*this); }
    int* live;
};

TEST(UriListener, LocalOnlyForLoopbackLiteralsAndLocalhost) {
    const struct {
        const char* url;
        int type;
        bool allowed;
    } cases[] = {
        {"http://127.0.0.1:8080/x", 1, true},
        {"http://127.200.3.4/x", 1, true},
        {"https://localhost/x", 1, true},
        {"http://LOCALHOST:80", 1, true},
        {"http://[::1]:80/", 1, true},
        {"http://192.0.2.1:8080/x", 2, true},
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

TEST(UriListener, IdsAreEightHexDigitsFromACounter) {
    uriListener_t a("http://127.0.0.1/a", nullptr);
    uriListener_t b("http://127.0.0.1/b", nullptr);
    EXPECT_EQ(8u, a.id.size());
    EXPECT_EQ(std::string::npos, a.id.find_first_not_of("0123456789abcdef"));
    EXPECT_EQ(std::stoul(a.id, nullptr, 16) + 1, std::stoul(b.id, nullptr, 16));
}

TEST(UriListener, CopiesCloneTheHandbackAndDestructionDeletesIt) {
    int live = 0;
    {
        uriListener_t a("http://127.0.0.1/a", new CountingHandback(&live));
        EXPECT_EQ(1, live);
        uriListener_t b(a);
        EXPECT_EQ(2, live);
        EXPECT_NE(a.hback, b.hback);
        EXPECT_EQ(a.id, b.id);
        uriListener_t c("http://h/", new CountingHandback(&live));
        EXPECT_EQ(3, live);
        c = a;
        EXPECT_EQ(3, live);
        EXPECT_EQ(a.URL, c.URL);
        c = c;
        EXPECT_EQ(3, live);
    }
    EXPECT_EQ(0, live);
}

}  // namespace
