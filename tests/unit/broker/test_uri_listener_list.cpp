#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CRESTBroker.h"
#include "URIListenerList.h"

namespace {

// Records what the list tells its handler and checks that the list's lock is free meanwhile:
// a handler may read and change the list it is told about.
class Recorder : public URIListenerHandler {
  public:
    void addListener(URIListenerList* list, const uriListener_t& l, int session) override {
        events.push_back("add " + l.URL + " " + std::to_string(session) + " " +
                         std::to_string(list->size()));
    }
    void updateListener(URIListenerList* list, const uriListener_t& old, const uriListener_t& l,
                        int) override {
        events.push_back("update " + l.URL + (old.id == l.id ? " same-id " : " new-id ") +
                         std::to_string(list->size()));
    }
    void removeListeners(URIListenerList* list) override {
        events.push_back("remove " + std::to_string(list->size()));
        if (removeOneMore && !list->empty()) {
            removeOneMore = false;
            list->removeListener(list->snapshot().front().id);
        }
    }
    std::vector<std::string> events;
    bool removeOneMore = false;
};

std::string url(int i) {
    return "http://127.0.0.1:9/l" + std::to_string(i);
}

TEST(URIListenerList, TwentyListenersEachUrlOnceAndTheSameUrlKeepsItsId) {
    URIListenerList list;
    Recorder rec;
    list.handler = &rec;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(list.addListener(url(i), i, nullptr));
    }
    const std::string firstId = list.snapshot().front().id;
    EXPECT_FALSE(list.addListener(url(20), 20, nullptr));
    uriListener_t again;
    EXPECT_TRUE(list.addListener(url(0), 21, nullptr, &again));  // full, but already there
    EXPECT_EQ(firstId, again.id);
    EXPECT_EQ(20u, list.size());
    EXPECT_EQ(url(0), list.snapshot().front().URL);  // replaced in place
    ASSERT_EQ(21u, rec.events.size());
    EXPECT_EQ("add " + url(0) + " 0 1", rec.events.front());
    EXPECT_EQ("update " + url(0) + " same-id 20", rec.events.back());
    // Ids are eight lower-case hexadecimal digits, one per listener.
    for (const uriListener_t& l : list.snapshot()) {
        EXPECT_EQ(8u, l.id.size());
        EXPECT_EQ(std::string::npos, l.id.find_first_not_of("0123456789abcdef")) << l.id;
    }
}

TEST(URIListenerList, RemovalsTellTheHandlerWhichMayChangeTheListAgain) {
    URIListenerList list;
    Recorder rec;
    list.handler = &rec;
    for (int i = 0; i < 4; ++i) {
        list.addListener(url(i), -1, nullptr);
    }
    auto ids = list.snapshot();
    EXPECT_FALSE(list.removeListener("nosuchid"));
    EXPECT_TRUE(list.removeListener(ids[1].id));
    list.removeListenersById({ids[2].id, "gone"});
    list.removeListenersById({"gone"});  // nothing removed: not told
    rec.removeOneMore = true;            // the handler removes one more while told
    list.removeListenersById({ids[3].id});
    EXPECT_TRUE(list.empty());
    const std::vector<std::string> tail(rec.events.end() - 4, rec.events.end());
    EXPECT_EQ((std::vector<std::string>{"remove 3", "remove 2", "remove 1", "remove 0"}), tail);
}

TEST(URIListenerList, HandbacksAreClonedAndDeliveriesMayRunWhileListenersComeAndGo) {
    RESTCallbackInfo info;
    info.requestIdentifier = "0000abcd";
    RBURIListenerList list;
    std::thread adder([&] {
        for (int i = 0; i < 200; ++i) {
            list.addListener(url(i % 25), i, &info);
            if (i % 3 == 0) {
                list.removeListeners();
            }
        }
    });
    for (int i = 0; i < 200; ++i) {
        for (const uriListener_t& l : list.snapshot()) {
            const auto* h = dynamic_cast<const RESTCallbackInfo*>(l.hback);
            ASSERT_NE(nullptr, h);
            ASSERT_NE(&info, h);
            EXPECT_EQ("0000abcd", h->requestIdentifier);
        }
        list.setLastMessage(std::to_string(i));
    }
    adder.join();
    EXPECT_LE(list.size(), URIListenerList::kMaxListeners);
    EXPECT_EQ("199", list.getLastMessage());
}

TEST(WsnClientHost, HostPartOfTheDefaultStatusListener) {
    EXPECT_EQ("127.0.0.1", wsnClientHostOf("http://127.0.0.1:9100/gwstatus"));
    EXPECT_EQ("wsnc.example", wsnClientHostOf("https://wsnc.example/status"));
    EXPECT_EQ("wsnc", wsnClientHostOf("http://wsnc"));
    EXPECT_EQ("", wsnClientHostOf("wsnc:9100"));
}

TEST(BytesOfHex, ExactlyTwoDigitsPerByteFirstByteFirst) {
    unsigned char out[8] = {};
    ASSERT_TRUE(bytesOfHex("00124b00000011Ff", out, 8));
    const unsigned char expected[8] = {0x00, 0x12, 0x4b, 0x00, 0x00, 0x00, 0x11, 0xff};
    EXPECT_EQ(0, std::memcmp(expected, out, 8));
    // A wrong length or a non-digit leaves the bytes as they were.
    for (const char* bad :
         {"00124b000000110", "00124b0000001100a", "00124b00000011fg", "", "0x124b0000001101"}) {
        unsigned char kept[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        EXPECT_FALSE(bytesOfHex(bad, kept, 8)) << bad;
        EXPECT_EQ(1, kept[0]) << bad;
        EXPECT_EQ(8, kept[7]) << bad;
    }
}

}  // namespace
