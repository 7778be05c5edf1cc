#include <gtest/gtest.h>

#include "EventRing.h"

namespace {

StreamEvent event(const std::string& kind, const std::string& node = "",
                  const std::string& ieee = "", int endpoint = -1) {
    StreamEvent e;
    e.kind = kind;
    e.node = node;
    e.ieee = ieee;
    e.endpoint = endpoint;
    e.data = "<" + kind + "/>";
    return e;
}

std::vector<uint64_t> ids(const EventRing::Replay& replay) {
    std::vector<uint64_t> out;
    for (const StreamEvent& e : replay.events)
        out.push_back(e.id);
    return out;
}

}  // namespace

TEST(EventRing, IdsIncreaseAndResumeReturnsOnlyLaterEventsOldestFirst) {
    EventRing ring(10);
    EXPECT_EQ(ring.lastId(), 0u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(ring.publish(event("nodeFound")).id, static_cast<uint64_t>(i + 1));
    EXPECT_EQ(ring.lastId(), 5u);
    EventRing::Replay replay = ring.since(2, EventFilter());
    EXPECT_FALSE(replay.gap);
    EXPECT_EQ(ids(replay), (std::vector<uint64_t>{3, 4, 5}));
    EXPECT_TRUE(ring.since(5, EventFilter()).events.empty());
    EXPECT_FALSE(ring.since(5, EventFilter()).gap);
}

TEST(EventRing, KeepsOnlyTheNewestAndReportsAGapForAnIdItNoLongerHolds) {
    EventRing ring(3);
    for (int i = 0; i < 7; ++i)
        ring.publish(event("message"));
    // Holds 5, 6, 7: a client that saw 4 missed nothing; one that saw 3 missed event 4.
    EventRing::Replay fromFour = ring.since(4, EventFilter());
    EXPECT_FALSE(fromFour.gap);
    EXPECT_EQ(ids(fromFour), (std::vector<uint64_t>{5, 6, 7}));
    EventRing::Replay fromThree = ring.since(3, EventFilter());
    EXPECT_TRUE(fromThree.gap);
    EXPECT_EQ(ids(fromThree), (std::vector<uint64_t>{5, 6, 7}));
}

TEST(EventRing, LargeDocumentsAreBoundByTheirBytesButTheNewestStays) {
    EventRing ring(100, 1000);
    StreamEvent big = event("result");
    big.data.assign(400, 'x');
    for (int i = 0; i < 4; ++i)
        ring.publish(big);
    // 2 of 400 bytes fit in 1000; the third would make 1200.
    EventRing::Replay all = ring.since(0, EventFilter());
    EXPECT_TRUE(all.gap);
    EXPECT_EQ(ids(all), (std::vector<uint64_t>{3, 4}));
    big.data.assign(5000, 'y');
    ring.publish(big);
    EXPECT_EQ(ids(ring.since(0, EventFilter())), (std::vector<uint64_t>{5}));
    // Once small ones come again, the big one goes as soon as they need the room.
    for (int i = 0; i < 3; ++i)
        ring.publish(event("message"));
    EXPECT_EQ(ids(ring.since(0, EventFilter())), (std::vector<uint64_t>{6, 7, 8}));
}

TEST(EventRing, ResumeAppliesTheStreamsFilter) {
    EventRing ring(10);
    ring.publish(event("nodeFound", "1a2b"));
    ring.publish(event("message", "1a2b", "", 10));
    ring.publish(event("message", "3c4d", "", 10));
    EventFilter filter;
    ASSERT_TRUE(filter.add("type", "message"));
    ASSERT_TRUE(filter.add("node", "0x1A2B"));
    EXPECT_EQ(ids(ring.since(0, filter)), (std::vector<uint64_t>{2}));
}

TEST(EventFilter, TypesAreAnyOfTheGivenKinds) {
    EventFilter filter;
    ASSERT_TRUE(filter.add("type", "nodeDead,nodeGone"));
    ASSERT_TRUE(filter.add("type", "message"));
    EXPECT_TRUE(filter.matches(event("nodeDead")));
    EXPECT_TRUE(filter.matches(event("nodeGone")));
    EXPECT_TRUE(filter.matches(event("message")));
    EXPECT_FALSE(filter.matches(event("nodeFound")));
    EXPECT_FALSE(filter.matches(event("nodeDea")));
    EXPECT_TRUE(EventFilter().matches(event("anything")));
}

TEST(EventFilter, NodeMatchesTheShortOrTheIeeeAddressWhateverTheCaseAndLeadingZeros) {
    StreamEvent e = event("message", "00a1", "00124B0001020304");
    for (const char* given : {"a1", "0x00A1", "00A1", "124b0001020304", "0x00124b0001020304"}) {
        EventFilter filter;
        ASSERT_TRUE(filter.add("node", given)) << given;
        EXPECT_TRUE(filter.matches(e)) << given;
    }
    EventFilter other;
    ASSERT_TRUE(other.add("node", "a2"));
    EXPECT_FALSE(other.matches(e));
    EXPECT_FALSE(other.matches(event("gatewayState")));
}

TEST(EventFilter, EndpointMatchesOnlyEventsOfThatEndPoint) {
    EventFilter filter;
    ASSERT_TRUE(filter.add("endpoint", "0x0a"));
    EXPECT_TRUE(filter.matches(event("message", "1", "", 10)));
    EXPECT_FALSE(filter.matches(event("message", "1", "", 11)));
    EXPECT_FALSE(filter.matches(event("nodeFound", "1")));
}

TEST(EventFilter, RefusesValuesThatAreNoAddressOrEndPointAndIgnoresOtherNames) {
    EventFilter filter;
    EXPECT_FALSE(filter.add("node", "xyz"));
    EXPECT_FALSE(filter.add("node", ""));
    EXPECT_FALSE(filter.add("endpoint", "256"));
    EXPECT_FALSE(filter.add("endpoint", "-1"));
    EXPECT_FALSE(filter.add("endpoint", "1x"));
    EXPECT_FALSE(filter.add("type", ""));
    EXPECT_TRUE(filter.add("timeout", "whatever"));
    EXPECT_TRUE(filter.matches(event("message")));
}

TEST(StreamEventFormat, EveryLineOfTheDocumentIsItsOwnDataLine) {
    StreamEvent e;
    e.id = 42;
    e.kind = "nodeFound";
    e.data = "<?xml version=\"1.0\"?>\r\n<node>\n</node>";
    EXPECT_EQ(formatStreamEvent(e),
              "id: 42\nevent: nodeFound\n"
              "data: <?xml version=\"1.0\"?>\n"
              "data: <node>\n"
              "data: </node>\n\n");
    e.data.clear();
    EXPECT_EQ(formatStreamEvent(e), "id: 42\nevent: nodeFound\ndata: \n\n");
}
