#ifndef ORQ_EVENTRING_H
#define ORQ_EVENTRING_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// One event of the stream: what the gateway notified, with what the filters look at.
struct StreamEvent {
    uint64_t id = 0;
    std::string kind;
    std::string node;   // short address, hexadecimal; empty when the event names no node
    std::string ieee;   // IEEE address, hexadecimal; empty when unknown
    int endpoint = -1;  // -1 when the event names no end point
    std::string data;   // the notification document
};

// The query filters of a stream: type= (comma-separated kinds, may repeat), node= (short or
// IEEE address, case-insensitive), endpoint= (decimal or 0x hexadecimal).
struct EventFilter {
    std::set<std::string> types;
    std::string node;
    int endpoint = -1;

    // Adds one query parameter; false when the name is a filter but its value is not valid.
    // Names that are no filter are ignored.
    bool add(const std::string& name, const std::string& value);
    bool matches(const StreamEvent& event) const;
};

// The server-sent events framing of one event: id, event and one data line per line.
std::string formatStreamEvent(const StreamEvent& event);

// The most recent events, at most `capacity` of them and at most `maxBytes` of documents (the
// newest is kept whatever its size), for clients that resume with the id of the last event
// they saw. Thread-safe.
class EventRing {
  public:
    static constexpr size_t kDefaultCapacity = 1000;
    // An inquiry's result carries the whole node list: a thousand of them must not be kept.
    static constexpr size_t kDefaultBytes = 4 * 1024 * 1024;
    explicit EventRing(size_t capacity = kDefaultCapacity, size_t maxBytes = kDefaultBytes)
        : capacity_(capacity), maxBytes_(maxBytes) {}

    // Stores the event under the next id (ids start at 1) and returns a copy of it.
    StreamEvent publish(StreamEvent event);

    struct Replay {
        bool gap = false;  // events after `lastId` were dropped from the ring
        std::vector<StreamEvent> events;
    };
    // The stored events after `lastId` that pass `filter`, oldest first.
    Replay since(uint64_t lastId, const EventFilter& filter) const;
    uint64_t lastId() const;

  private:
    size_t capacity_;
    size_t maxBytes_;
    size_t bytes_ = 0;
    mutable std::mutex mux_;
    std::deque<StreamEvent> events_;
    uint64_t nextId_ = 1;
};

#endif
