#ifndef ORQ_EVENTSTREAM_H
#define ORQ_EVENTSTREAM_H

// The live event stream (GET /events): one bounded queue per client, fed by whichever thread
// publishes and emptied by libmicrohttpd's content reader on the thread that drives the
// client's connection. A stream with nothing to send suspends its connection; the next event
// resumes it. The connection glue is in EventStreamGlue.cpp.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CDebug.h"
#include "EventRing.h"

class EventStream {
  public:
    using Clock = std::chrono::steady_clock;

    // What one client may have waiting before it is judged unable to keep up.
    struct Limits {
        size_t events = 2048;
        size_t bytes = 1024 * 1024;
    };
    // What the stream asks of its connection. `suspend` is called from inside read() (the
    // content reader), `resume` from any thread; both under the stream's lock, so a resume
    // always follows its suspend. `cut` closes the connection and `gone` tells whether the
    // client has closed its end (poll-loop thread, while the connection is open).
    struct Link {
        std::function<void()> suspend;
        std::function<void()> resume;
        std::function<void()> cut;
        std::function<bool()> gone;
    };

    EventStream(EventFilter filter, Limits limits, Link link);
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;

    const EventFilter& filter() const { return filter_; }

    // Any thread: queues framed text (an event or a comment). When it does not fit, what
    // waits is dropped for a last `overflow` event and the stream ends. False when the stream
    // takes nothing more (ended, overflowed or its connection gone).
    bool push(const std::string& text);

    enum class Read { Data, Empty, End };
    // The content reader: up to `max` bytes into `buf` (`*n` of them). Empty when nothing
    // waits (the connection is suspended meanwhile), End once an ended stream is drained.
    Read read(char* buf, size_t max, size_t* n);

    // Any thread: the stream ends once what waits is sent.
    void end();
    // The connection is finished: nothing more is resumed or queued.
    void detach();
    // Poll-loop thread: a stream that overflowed `grace` ago and is still open is cut (its
    // client reads nothing, so even the last event does not go). True when it was cut.
    bool cutIfOverdue(Clock::time_point now, Clock::duration grace);
    // Poll-loop thread: a suspended stream whose client has gone is cut and ended, so that
    // its connection is closed now rather than at the next event. True when it was.
    bool endIfGone();

    bool overflowed() const;
    size_t queuedBytes() const;

  private:
    void wakeLocked();

    const EventFilter filter_;
    const Limits limits_;
    const Link link_;
    mutable std::mutex mux_;
    std::deque<std::string> queue_;
    size_t queuedBytes_ = 0;
    // The entry being written and how much of it has gone.
    std::string current_;
    size_t offset_ = 0;
    bool suspended_ = false;
    bool ended_ = false;
    bool overflowed_ = false;
    bool detached_ = false;
    bool cut_ = false;
    Clock::time_point overflowAt_;
};

// Every open stream and the ring of recent events. Thread-safe.
class EventStreams {
  public:
    using Clock = EventStream::Clock;
    static constexpr std::chrono::seconds kKeepAlive{15};
    // How long an overflowed client has to take its last event before it is cut.
    static constexpr std::chrono::seconds kOverflowGrace{2};

    explicit EventStreams(EventStream::Limits limits = EventStream::Limits(),
                          size_t ringCapacity = EventRing::kDefaultCapacity);

    // Any thread: stores the event under the next id and queues it on every stream whose
    // filter it passes.
    void publish(StreamEvent event);

    // Opens a stream. With `resume` set, the stored events after `lastId` that pass the
    // filter are queued first, after a `gap` event when some of them are no longer stored.
    std::shared_ptr<EventStream> open(EventFilter filter, bool resume, uint64_t lastId,
                                      EventStream::Link link);
    void close(const std::shared_ptr<EventStream>& stream);

    // Poll-loop thread, every pass: the keep-alive comment when it is due, the cut of
    // overflowed clients that took nothing since, and the end of streams whose client left.
    void tick(Clock::time_point now);
    // Ends every stream after what waits; the number still open.
    size_t endAll();
    size_t openCount() const;

  private:
    EventStream::Limits limits_;
    Debug pLogger{"EventStreams"};
    EventRing ring_;
    mutable std::mutex mux_;
    std::vector<std::shared_ptr<EventStream>> streams_;
    Clock::time_point lastKeepAlive_;
};

#endif
