// The event stream's parts without sockets: the ring of recent events and its filters, the
// bounded queue of one client, and the set of streams with replay and keep-alives.

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "EventStream.h"

namespace {

// What a stream asked of its connection.
struct LinkLog {
    int suspends = 0, resumes = 0, cuts = 0;
    bool gone = false;
    EventStream::Link link() {
        return {[this] { ++suspends; }, [this] { ++resumes; }, [this] { ++cuts; },
                [this] { return gone; }};
    }
};

// Everything the stream has to give now, taken in blocks as the content reader does.
std::string drain(EventStream& stream, size_t block = 7, EventStream::Read* last = nullptr) {
    std::string out;
    char buf[64];
    for (EventStream::Read r = EventStream::Read::Data;;) {
        size_t n = 0;
        r = stream.read(buf, block, &n);
        out.append(buf, n);
        if (r != EventStream::Read::Data) {
            *(last != nullptr ? last : &r) = r;
            return out;
        }
    }
}

StreamEvent event(const std::string& kind, const std::string& node = "",
                  const std::string& ieee = "", int endpoint = -1) {
    return StreamEvent{0, kind, node, ieee, endpoint, "<" + kind + "/>"};
}

std::vector<uint64_t> ids(const EventRing::Replay& replay) {
    std::vector<uint64_t> out;
    for (const StreamEvent& e : replay.events) {
        out.push_back(e.id);
    }
    return out;
}

}  // namespace

TEST(EventRing, KeepsTheNewestByCountAndBytesAndReportsAGapForAnIdItNoLongerHolds) {
    EventRing ring(3);
    for (uint64_t i = 1; i <= 7; ++i) {
        EXPECT_EQ(i, ring.publish(event("message")).id);
    }
    // Holds 5, 6, 7: a client that saw 4 missed nothing; one that saw 3 missed event 4.
    EXPECT_FALSE(ring.since(4, EventFilter()).gap);
    EXPECT_EQ(std::vector<uint64_t>({6, 7}), ids(ring.since(5, EventFilter())));
    EXPECT_TRUE(ring.since(3, EventFilter()).gap);
    EXPECT_EQ(std::vector<uint64_t>({5, 6, 7}), ids(ring.since(3, EventFilter())));
    EXPECT_TRUE(ring.since(7, EventFilter()).events.empty());

    EventRing bytes(100, 1000);
    StreamEvent big = event("result");
    big.data.assign(400, 'x');
    for (int i = 0; i < 4; ++i) {
        bytes.publish(big);
    }
    EXPECT_EQ(std::vector<uint64_t>({3, 4}), ids(bytes.since(0, EventFilter())));
    big.data.assign(5000, 'y');  // the newest stays, however big
    bytes.publish(big);
    EXPECT_EQ(std::vector<uint64_t>({5}), ids(bytes.since(0, EventFilter())));
    for (int i = 0; i < 3; ++i) {
        bytes.publish(event("message"));
    }
    EXPECT_EQ(std::vector<uint64_t>({6, 7, 8}), ids(bytes.since(0, EventFilter())));
}

TEST(EventFilter, MatchesKindsNodesAndEndPointsAndRefusesBadValues) {
    const StreamEvent e = event("message", "00a1", "00124B0001020304", 10);
    const struct {
        std::vector<std::pair<const char*, const char*>> terms;
        bool matches;
    } cases[] = {
        {{}, true},
        {{{"type", "nodeDead,message"}}, true},
        {{{"type", "nodeDead"}, {"type", "message"}}, true},
        {{{"type", "messag"}}, false},
        {{{"node", "a1"}}, true},
        {{{"node", "0x00A1"}}, true},
        {{{"node", "124b0001020304"}}, true},
        {{{"node", "0x00124b0001020304"}}, true},
        {{{"node", "a2"}}, false},
        {{{"endpoint", "0x0a"}}, true},
        {{{"endpoint", "11"}}, false},
        {{{"type", "message"}, {"node", "a1"}, {"endpoint", "10"}, {"timeout", "x"}}, true},
    };
    for (const auto& c : cases) {
        EventFilter filter;
        for (const auto& [name, value] : c.terms) {
            ASSERT_TRUE(filter.add(name, value)) << name << "=" << value;
        }
        EXPECT_EQ(c.matches, filter.matches(e)) << c.terms.size();
    }
    EventFilter byNode, byEndpoint;
    ASSERT_TRUE(byNode.add("node", "a1"));
    ASSERT_TRUE(byEndpoint.add("endpoint", "10"));
    EXPECT_FALSE(byNode.matches(event("gatewayState")));
    EXPECT_FALSE(byEndpoint.matches(event("nodeFound", "1")));
    const std::pair<const char*, const char*> refused[] = {
        {"node", "xyz"},    {"node", ""},     {"endpoint", "256"}, {"endpoint", "-1"},
        {"endpoint", "1x"}, {"endpoint", ""}, {"type", ""}};
    for (const auto& [name, value] : refused) {
        EXPECT_FALSE(EventFilter().add(name, value)) << name << "=" << value;
    }
    // The ring's replay applies the filter.
    EventRing ring(10);
    ring.publish(event("nodeFound", "1a2b"));
    ring.publish(event("message", "1a2b"));
    ring.publish(event("message", "3c4d"));
    EventFilter filter;
    ASSERT_TRUE(filter.add("type", "message") && filter.add("node", "0x1A2B"));
    EXPECT_EQ(std::vector<uint64_t>({2}), ids(ring.since(0, filter)));
}

TEST(StreamEventFormat, EveryLineOfTheDocumentIsItsOwnDataLine) {
    StreamEvent e = event("nodeFound");
    e.id = 42;
    e.data = "<?xml version=\"1.0\"?>\r\n<node>\n</node>";
    EXPECT_EQ(
        "id: 42\nevent: nodeFound\ndata: <?xml version=\"1.0\"?>\ndata: <node>\n"
        "data: </node>\n\n",
        formatStreamEvent(e));
    e.data.clear();
    EXPECT_EQ("id: 42\nevent: nodeFound\ndata: \n\n", formatStreamEvent(e));
}

TEST(EventStream, AnEmptyQueueSuspendsTheNextPushResumesOnceAndEndDrains) {
    LinkLog log;
    EventStream stream(EventFilter(), EventStream::Limits(), log.link());
    EventStream::Read r;
    EXPECT_EQ("", drain(stream, 7, &r));
    EXPECT_EQ(EventStream::Read::Empty, r);
    EXPECT_TRUE(stream.push("first\n\n"));
    EXPECT_TRUE(stream.push("second\n\n"));
    EXPECT_EQ(1, log.resumes);  // the second push finds the connection awake
    // Entries longer than a block arrive whole and in order.
    EXPECT_EQ("first\n\nsecond\n\n", drain(stream, 3, &r));
    EXPECT_EQ(EventStream::Read::Empty, r);
    EXPECT_EQ(2, log.suspends);
    EXPECT_EQ(0u, stream.queuedBytes());
    stream.end();
    EXPECT_EQ(2, log.resumes);
    EXPECT_EQ("", drain(stream, 7, &r));
    EXPECT_EQ(EventStream::Read::End, r);
    // A detached stream takes nothing and resumes nothing.
    LinkLog other;
    EventStream gone(EventFilter(), EventStream::Limits(), other.link());
    drain(gone);
    gone.detach();
    EXPECT_FALSE(gone.push("x\n\n"));
    gone.end();
    EXPECT_EQ(0, other.resumes);
}

TEST(EventStream, AFullQueueGivesOneLastOverflowEventThenTheEndAndIsCutAfterTheGrace) {
    for (const auto& [limits, accepted] :
         {std::pair{EventStream::Limits{3, 1 << 20}, 3}, {EventStream::Limits{100, 25}, 2}}) {
        LinkLog log;
        EventStream stream(EventFilter(), limits, log.link());
        const auto now = EventStream::Clock::now();
        EXPECT_FALSE(stream.cutIfOverdue(now + std::chrono::hours(1), std::chrono::seconds(2)));
        int n = 0;
        for (; n < 1000 && stream.push("event 000\n"); ++n) {
        }
        EXPECT_EQ(accepted, n);
        EXPECT_TRUE(stream.overflowed());
        EXPECT_FALSE(stream.push("late\n\n"));
        const auto at = EventStream::Clock::now();
        EXPECT_FALSE(stream.cutIfOverdue(at, std::chrono::seconds(2)));
        EXPECT_TRUE(stream.cutIfOverdue(at + std::chrono::seconds(3), std::chrono::seconds(2)));
        EXPECT_FALSE(stream.cutIfOverdue(at + std::chrono::seconds(4), std::chrono::seconds(2)));
        EXPECT_EQ(1, log.cuts);
        // What waited is dropped: the client learns why its stream ends, nothing else.
        EventStream::Read r;
        const std::string out = drain(stream, 16, &r);
        EXPECT_EQ(0u, out.rfind("event: overflow\n", 0)) << out;
        EXPECT_EQ(EventStream::Read::End, r);
    }
    // An entry half written at overflow is finished before the overflow event.
    LinkLog log;
    EventStream stream(EventFilter(), {2, 1 << 20}, log.link());
    ASSERT_TRUE(stream.push("0123456789\n\n"));
    char buf[4];
    size_t n = 0;
    ASSERT_EQ(EventStream::Read::Data, stream.read(buf, sizeof(buf), &n));
    EXPECT_TRUE(stream.push("a\n\n") && stream.push("b\n\n"));
    EXPECT_FALSE(stream.push("c\n\n"));
    EXPECT_EQ(0u, drain(stream, 5).rfind("456789\n\nevent: overflow\n", 0));
}

TEST(EventStream, ASuspendedStreamWhoseClientLeftIsCutAndEndedOnce) {
    LinkLog log;
    EventStream stream(EventFilter(), EventStream::Limits(), log.link());
    log.gone = true;
    // Not suspended: libmicrohttpd is at the connection and sees the end itself.
    EXPECT_FALSE(stream.endIfGone());
    drain(stream);
    log.gone = false;
    EXPECT_FALSE(stream.endIfGone());
    log.gone = true;
    EXPECT_TRUE(stream.endIfGone());
    EXPECT_FALSE(stream.endIfGone());
    EXPECT_EQ(1, log.cuts);
    EXPECT_EQ(1, log.resumes);
    EXPECT_FALSE(stream.push("x\n\n"));
}

TEST(EventStreams, PublishFiltersPerStreamResumeReplaysAndKeepAlivesComeOnTime) {
    EventStreams streams(EventStream::Limits(), 3);
    LinkLog a, b, c, d, e;
    EventFilter onlyLight;
    ASSERT_TRUE(onlyLight.add("node", "1101"));
    auto all = streams.open(EventFilter(), false, 0, a.link());
    auto light = streams.open(onlyLight, false, 0, b.link());
    streams.publish(event("node-announced", "1101"));
    streams.publish(event("node-announced", "2101"));
    EXPECT_EQ(
        "id: 1\nevent: node-announced\ndata: <node-announced/>\n\n"
        "id: 2\nevent: node-announced\ndata: <node-announced/>\n\n",
        drain(*all));
    EXPECT_EQ("id: 1\nevent: node-announced\ndata: <node-announced/>\n\n", drain(*light));
    streams.close(light);
    EXPECT_EQ(1u, streams.openCount());
    streams.publish(event("message"));
    streams.publish(event("message"));
    // The ring holds 2..4: resuming after 1 misses nothing, after 0 misses event 1.
    const std::string fromOne = drain(*streams.open(EventFilter(), true, 1, c.link()));
    EXPECT_EQ(0u, fromOne.rfind("id: 2\n", 0)) << fromOne;
    EXPECT_NE(std::string::npos, fromOne.find("id: 4\n")) << fromOne;
    const std::string fromZero = drain(*streams.open(EventFilter(), true, 0, d.link()));
    EXPECT_EQ(0u, fromZero.rfind("event: gap\n", 0)) << fromZero;
    EXPECT_NE(std::string::npos, fromZero.find("id: 2\n")) << fromZero;
    auto next = streams.open(EventFilter(), false, 0, e.link());
    EXPECT_EQ("", drain(*next));  // without resume, only what comes next

    const auto start = EventStream::Clock::now() + EventStreams::kKeepAlive;
    streams.tick(start);
    EXPECT_EQ(": keep-alive\n\n", drain(*next));
    streams.tick(start + EventStreams::kKeepAlive - std::chrono::seconds(1));
    EXPECT_EQ("", drain(*next));
    streams.tick(start + EventStreams::kKeepAlive);
    EXPECT_EQ(": keep-alive\n\n", drain(*next));
    EXPECT_EQ(4u, streams.endAll());
    EventStream::Read r;
    drain(*next, 7, &r);
    EXPECT_EQ(EventStream::Read::End, r);
}

TEST(EventStreams, PublishersOnManyThreadsAndOneReaderLoseNothingWithinTheBound) {
    EventStreams streams({100000, 1 << 24});
    LinkLog log;
    auto s = streams.open(EventFilter(), false, 0, log.link());
    constexpr int kThreads = 4, kEach = 500;
    std::string got;
    std::thread reader([&] {
        char buf[256];
        while (std::count(got.begin(), got.end(), '\n') < 4 * kThreads * kEach) {
            size_t n = 0;
            s->read(buf, sizeof(buf), &n);
            got.append(buf, n);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> publishers;
    for (int t = 0; t < kThreads; ++t) {
        publishers.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                streams.publish(event("message"));
            }
        });
    }
    for (auto& p : publishers) {
        p.join();
    }
    reader.join();
    // Every id once, in increasing order.
    uint64_t expected = 1;
    for (size_t at = got.find("id: "); at != std::string::npos; at = got.find("id: ", at + 4)) {
        EXPECT_EQ(expected++, std::stoull(got.substr(at + 4)));
    }
    EXPECT_EQ(static_cast<uint64_t>(kThreads * kEach + 1), expected);
}
