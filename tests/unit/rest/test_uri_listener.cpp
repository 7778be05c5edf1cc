#include <gtest/gtest.h>

#include <unistd.h>

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

TEST(UriListener, TypeOneForThisHostTwoForOthers) {
    EXPECT_EQ(1, listenerTypeOf("http://127.0.0.1:8080/x"));
    EXPECT_EQ(1, listenerTypeOf("https://localhost/x"));
    EXPECT_EQ(1, listenerTypeOf("http://LOCALHOST:80"));
    EXPECT_EQ(1, listenerTypeOf("http://[::1]:80/"));
    char name[256] = {0};
    ASSERT_EQ(0, gethostname(name, sizeof(name) - 1));
    EXPECT_EQ(1, listenerTypeOf(std::string("http://") + name + ":9/x"));
    EXPECT_EQ(2, listenerTypeOf("http://192.0.2.1:8080/x"));
    EXPECT_EQ(2, listenerTypeOf("http://example.com/127.0.0.1"));
    EXPECT_EQ(2, listenerTypeOf("http://localhost.example.com/"));
    EXPECT_EQ(2, listenerTypeOf("ftp://127.0.0.1/"));
}

TEST(UriListener, OnlyHttpSchemesAreAllowed) {
    EXPECT_TRUE(isAllowedListenerURL("http://a/"));
    EXPECT_TRUE(isAllowedListenerURL("HTTPS://a/"));
    EXPECT_FALSE(isAllowedListenerURL("file:///etc/passwd"));
    EXPECT_FALSE(isAllowedListenerURL("httpx://a"));
    EXPECT_FALSE(isAllowedListenerURL(""));
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
