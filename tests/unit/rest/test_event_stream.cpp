#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "EventStream.h"

namespace {

// What a stream asked of its connection.
struct LinkLog {
    int suspends = 0;
    int resumes = 0;
    int cuts = 0;

    EventStream::Link link() {
        EventStream::Link l;
        l.suspend = [this] { ++suspends; };
        l.resume = [this] { ++resumes; };
        l.cut = [this] { ++cuts; };
        return l;
    }
};

// Everything the stream has to give now, as the content reader would take it in blocks.
std::string drain(EventStream& stream, size_t block = 7, EventStream::Read* last = nullptr) {
    std::string out;
    char buf[64];
    for (;;) {
        size_t n = 0;
        EventStream::Read r = stream.read(buf, block, &n);
        out.append(buf, n);
        if (r != EventStream::Read::Data) {
            if (last != nullptr) {
                *last = r;
            }
            return out;
        }
    }
}

StreamEvent event(const std::string& kind, const std::string& node, const std::string& data) {
    StreamEvent e;
    e.kind = kind;
    e.node = node;
    e.data = data;
    return e;
}

}  // namespace

TEST(EventStream, AnEmptyQueueSuspendsAndTheNextPushResumesOnce) {
    LinkLog log;
    EventStream stream(EventFilter(), EventStream::Limits(), log.link());
    EventStream::Read r;
    EXPECT_EQ(drain(stream, 7, &r), "");
    EXPECT_EQ(r, EventStream::Read::Empty);
    EXPECT_EQ(log.suspends, 1);
    EXPECT_TRUE(stream.push("first\n\n"));
    EXPECT_TRUE(stream.push("second\n\n"));
    // One resume for the suspend; the second push finds the connection awake.
    EXPECT_EQ(log.resumes, 1);
    // Entries longer than a block are split across reads and arrive whole and in order.
    EXPECT_EQ(drain(stream, 3, &r), "first\n\nsecond\n\n");
    EXPECT_EQ(r, EventStream::Read::Empty);
    EXPECT_EQ(log.suspends, 2);
    EXPECT_EQ(stream.queuedBytes(), 0u);
}

TEST(EventStream, AFullQueueGivesOneLastOverflowEventThenTheEnd) {
    struct Case {
        const char* name;
        EventStream::Limits limits;
        int accepted;
    };
    const Case cases[] = {
        {"by count", {3, 1 << 20}, 3}, {"by bytes", {100, 25}, 2},  // entries of 10 bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinkLog log;
        EventStream stream(EventFilter(), c.limits, log.link());
        int accepted = 0;
        while (stream.push("event 000\n")) {
            ++accepted;
            ASSERT_LT(accepted, 1000);
        }
        EXPECT_EQ(accepted, c.accepted);
        EXPECT_TRUE(stream.overflowed());
        EXPECT_FALSE(stream.push("late\n\n"));
        EventStream::Read r;
        const std::string out = drain(stream, 16, &r);
        // What waited is dropped: the client learns why its stream ends, nothing else.
        EXPECT_EQ(out.find("event 000"), std::string::npos) << out;
        EXPECT_EQ(out.rfind("event: overflow\n", 0), 0u) << out;
        EXPECT_EQ(r, EventStream::Read::End);
    }
}

TEST(EventStream, AnEntryHalfWrittenAtOverflowIsFinishedBeforeTheOverflowEvent) {
    LinkLog log;
    EventStream stream(EventFilter(), {2, 1 << 20}, log.link());
    ASSERT_TRUE(stream.push("0123456789\n\n"));
    char buf[4];
    size_t n = 0;
    ASSERT_EQ(stream.read(buf, sizeof(buf), &n), EventStream::Read::Data);
    EXPECT_EQ(std::string(buf, n), "0123");
    ASSERT_TRUE(stream.push("a\n\n"));
    ASSERT_TRUE(stream.push("b\n\n"));
    EXPECT_FALSE(stream.push("c\n\n"));
    const std::string out = drain(stream, 5);
    EXPECT_EQ(out.rfind("456789\n\nevent: overflow\n", 0), 0u) << out;
}

TEST(EventStream, AnOverflowedStreamIsCutOnlyAfterTheGraceAndOnce) {
    LinkLog log;
    EventStream stream(EventFilter(), {1, 1 << 20}, log.link());
    const auto now = EventStream::Clock::now();
    EXPECT_FALSE(stream.cutIfOverdue(now + std::chrono::hours(1), std::chrono::seconds(2)));
    ASSERT_TRUE(stream.push("a\n\n"));
    ASSERT_FALSE(stream.push("b\n\n"));
    const auto overflowAt = EventStream::Clock::now();
    EXPECT_FALSE(stream.cutIfOverdue(overflowAt, std::chrono::seconds(2)));
    EXPECT_EQ(log.cuts, 0);
    EXPECT_TRUE(stream.cutIfOverdue(overflowAt + std::chrono::seconds(3), std::chrono::seconds(2)));
    EXPECT_FALSE(
        stream.cutIfOverdue(overflowAt + std::chrono::seconds(4), std::chrono::seconds(2)));
    EXPECT_EQ(log.cuts, 1);
}

TEST(EventStream, ASuspendedStreamWhoseClientLeftIsCutAndEndedOnce) {
    LinkLog log;
    bool gone = false;
    EventStream::Link link = log.link();
    link.gone = [&gone] { return gone; };
    EventStream stream(EventFilter(), EventStream::Limits(), link);
    gone = true;
    // Not suspended: libmicrohttpd is at the connection and sees the end itself.
    EXPECT_FALSE(stream.endIfGone());
    EXPECT_EQ(drain(stream), "");
    gone = false;
    EXPECT_FALSE(stream.endIfGone());
    gone = true;
    EXPECT_TRUE(stream.endIfGone());
    EXPECT_FALSE(stream.endIfGone());
    EXPECT_EQ(log.cuts, 1);
    EXPECT_EQ(log.resumes, 1);
    EXPECT_FALSE(stream.push("x\n\n"));
    EventStream::Read r;
    drain(stream, 7, &r);
    EXPECT_EQ(r, EventStream::Read::End);
}

TEST(EventStream, EndDrainsWhatWaitsAndADetachedStreamResumesNothing) {
    LinkLog log;
    EventStream stream(EventFilter(), EventStream::Limits(), log.link());
    EXPECT_EQ(drain(stream), "");  // suspended
    stream.end();
    EXPECT_EQ(log.resumes, 1);
    EventStream::Read r;
    EXPECT_EQ(drain(stream, 7, &r), "");
    EXPECT_EQ(r, EventStream::Read::End);

    LinkLog other;
    EventStream gone(EventFilter(), EventStream::Limits(), other.link());
    EXPECT_EQ(drain(gone), "");
    gone.detach();
    EXPECT_FALSE(gone.push("x\n\n"));
    gone.end();
    EXPECT_EQ(other.resumes, 0);
}

TEST(EventStreams, PublishFiltersPerStreamAndResumeReplaysWithAGap) {
    EventStreams streams(EventStream::Limits(), 3);
    LinkLog a, b;
    EventFilter onlyLight;
    ASSERT_TRUE(onlyLight.add("node", "1101"));
    auto all = streams.open(EventFilter(), false, 0, a.link());
    auto light = streams.open(onlyLight, false, 0, b.link());
    streams.publish(event("node-announced", "1101", "<light/>"));
    streams.publish(event("node-announced", "2101", "<plug/>"));
    EXPECT_EQ(drain(*all),
              "id: 1\nevent: node-announced\ndata: <light/>\n\n"
              "id: 2\nevent: node-announced\ndata: <plug/>\n\n");
    EXPECT_EQ(drain(*light), "id: 1\nevent: node-announced\ndata: <light/>\n\n");
    EXPECT_EQ(streams.openCount(), 2u);
    streams.close(light);
    EXPECT_EQ(streams.openCount(), 1u);

    streams.publish(event("message", "1102", "<m3/>"));
    streams.publish(event("message", "1102", "<m4/>"));
    LinkLog c, d, e;
    // The ring holds 2..4: resuming after 1 misses nothing, after 0 misses event 1.
    const std::string fromOne = drain(*streams.open(EventFilter(), true, 1, c.link()));
    EXPECT_EQ(fromOne.rfind("id: 2\n", 0), 0u) << fromOne;
    EXPECT_NE(fromOne.find("id: 4\n"), std::string::npos) << fromOne;
    const std::string fromZero = drain(*streams.open(EventFilter(), true, 0, d.link()));
    EXPECT_EQ(fromZero.rfind("event: gap\n", 0), 0u) << fromZero;
    EXPECT_NE(fromZero.find("id: 2\n"), std::string::npos) << fromZero;
    // Without resume, only what comes next.
    EXPECT_EQ(drain(*streams.open(EventFilter(), false, 0, e.link())), "");
}

TEST(EventStreams, KeepAliveEveryFifteenSecondsAndEndAllEndsEveryStream) {
    EventStreams streams;
    LinkLog a;
    auto s = streams.open(EventFilter(), false, 0, a.link());
    const auto start = EventStream::Clock::now();
    streams.tick(start + std::chrono::seconds(1));
    EXPECT_EQ(drain(*s), "");
    streams.tick(start + EventStreams::kKeepAlive + std::chrono::seconds(1));
    streams.tick(start + EventStreams::kKeepAlive + std::chrono::seconds(2));
    EXPECT_EQ(drain(*s), ": keep-alive\n\n");
    EXPECT_EQ(streams.endAll(), 1u);
    EventStream::Read r;
    drain(*s, 7, &r);
    EXPECT_EQ(r, EventStream::Read::End);
}

TEST(EventStreams, PublishersOnManyThreadsAndOneReaderLoseNothingWithinTheBound) {
    EventStreams streams({100000, 1 << 24});
    LinkLog log;
    auto s = streams.open(EventFilter(), false, 0, log.link());
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::string got;
    std::thread reader([&] {
        char buf[256];
        while (std::count(got.begin(), got.end(), '\n') < 4 * kThreads * kEach) {
            size_t n = 0;
            s->read(buf, sizeof(buf), &n);
            got.append(buf, n);
            if (n == 0) {
                std::this_thread::yield();
            }
        }
    });
    std::vector<std::thread> publishers;
    for (int t = 0; t < kThreads; ++t) {
        publishers.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                streams.publish(event("message", "1102", "<m/>"));
            }
        });
    }
    for (auto& p : publishers) {
        p.join();
    }
    reader.join();
    // Every id once, in increasing order.
    uint64_t expected = 1;
    size_t at = 0;
    while ((at = got.find("id: ", at)) != std::string::npos) {
        EXPECT_EQ(std::stoull(got.substr(at + 4)), expected);
        ++expected;
        at += 4;
    }
    EXPECT_EQ(expected, static_cast<uint64_t>(kThreads * kEach + 1));
}
