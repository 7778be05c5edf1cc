#include "EventStream.h"

#include <algorithm>
#include <cstring>

namespace {

const char* const kOverflowEvent =
    "event: overflow\ndata: the client did not keep up; the stream ends\n\n";
const char* const kKeepAliveComment = ": keep-alive\n\n";

}  // namespace

EventStream::EventStream(EventFilter filter, Limits limits, Link link)
    : filter_(std::move(filter)), limits_(limits), link_(std::move(link)) {}

void EventStream::wakeLocked() {
    if (suspended_ && !detached_) {
        suspended_ = false;
        if (link_.resume) {
            link_.resume();
        }
    }
}

bool EventStream::push(const std::string& text) {
    std::lock_guard<std::mutex> lock(mux_);
    if (ended_ || detached_) {
        return false;
    }
    if (queue_.size() >= limits_.events || queuedBytes_ + text.size() > limits_.bytes) {
        // What waits would never reach this client in time: it gets the reason instead.
        queue_.clear();
        queue_.emplace_back(kOverflowEvent);
        queuedBytes_ = queue_.back().size();
        ended_ = true;
        overflowed_ = true;
        overflowAt_ = Clock::now();
        wakeLocked();
        return false;
    }
    queue_.push_back(text);
    queuedBytes_ += text.size();
    wakeLocked();
    return true;
}

EventStream::Read EventStream::read(char* buf, size_t max, size_t* n) {
    std::lock_guard<std::mutex> lock(mux_);
    *n = 0;
    while (*n < max) {
        if (offset_ == current_.size()) {
            if (queue_.empty()) {
                break;
            }
            current_.swap(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= current_.size();
            offset_ = 0;
        }
        const size_t take = std::min(max - *n, current_.size() - offset_);
        std::memcpy(buf + *n, current_.data() + offset_, take);
        offset_ += take;
        *n += take;
    }
    if (offset_ == current_.size()) {
        current_.clear();
        offset_ = 0;
    }
    if (*n > 0) {
        return Read::Data;
    }
    if (ended_ || detached_) {
        return Read::End;
    }
    suspended_ = true;
    if (link_.suspend) {
        link_.suspend();
    }
    return Read::Empty;
}

void EventStream::end() {
    std::lock_guard<std::mutex> lock(mux_);
    ended_ = true;
    wakeLocked();
}

void EventStream::detach() {
    std::lock_guard<std::mutex> lock(mux_);
    detached_ = true;
    suspended_ = false;
    queue_.clear();
    queuedBytes_ = 0;
}

bool EventStream::cutIfOverdue(Clock::time_point now, Clock::duration grace) {
    std::lock_guard<std::mutex> lock(mux_);
    if (!overflowed_ || cut_ || detached_ || now - overflowAt_ < grace) {
        return false;
    }
    cut_ = true;
    if (link_.cut) {
        link_.cut();
    }
    return true;
}

bool EventStream::endIfGone() {
    std::lock_guard<std::mutex> lock(mux_);
    if (!suspended_ || detached_ || cut_ || !link_.gone || !link_.gone()) {
        return false;
    }
    cut_ = true;
    ended_ = true;
    if (link_.cut) {
        link_.cut();
    }
    wakeLocked();
    return true;
}

bool EventStream::overflowed() const {
    std::lock_guard<std::mutex> lock(mux_);
    return overflowed_;
}

size_t EventStream::queuedBytes() const {
    std::lock_guard<std::mutex> lock(mux_);
    return queuedBytes_ + (current_.size() - offset_);
}

constexpr std::chrono::seconds EventStreams::kKeepAlive;
constexpr std::chrono::seconds EventStreams::kOverflowGrace;

EventStreams::EventStreams(EventStream::Limits limits, size_t ringCapacity)
    : limits_(limits), ring_(ringCapacity), lastKeepAlive_(Clock::now()) {
    configureLogger(pLogger, "Debug:HTTPServerDL");
}

void EventStreams::publish(StreamEvent event) {
    // Under the lock: a stream being opened sees each event either in its replay or here.
    std::lock_guard<std::mutex> lock(mux_);
    const StreamEvent stored = ring_.publish(std::move(event));
    std::string text;
    for (const auto& stream : streams_) {
        if (!stream->filter().matches(stored)) {
            continue;
        }
        if (text.empty()) {
            text = formatStreamEvent(stored);
        }
        const bool overflowedBefore = stream->overflowed();
        if (!stream->push(text) && !overflowedBefore && stream->overflowed()) {
            ORQ_LOG(pLogger, INFO,
                    "publish - a client of the event stream does not keep up: its stream ends");
        }
    }
}

std::shared_ptr<EventStream> EventStreams::open(EventFilter filter, bool resume, uint64_t lastId,
                                                EventStream::Link link) {
    auto stream = std::make_shared<EventStream>(std::move(filter), limits_, std::move(link));
    std::lock_guard<std::mutex> lock(mux_);
    if (resume) {
        EventRing::Replay replay = ring_.since(lastId, stream->filter());
        if (replay.gap) {
            stream->push("event: gap\ndata: events after " + std::to_string(lastId) +
                         " are no longer kept\n\n");
        }
        for (const StreamEvent& e : replay.events) {
            stream->push(formatStreamEvent(e));
        }
    }
    streams_.push_back(stream);
    return stream;
}

void EventStreams::close(const std::shared_ptr<EventStream>& stream) {
    stream->detach();
    std::lock_guard<std::mutex> lock(mux_);
    streams_.erase(std::remove(streams_.begin(), streams_.end(), stream), streams_.end());
}

void EventStreams::tick(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mux_);
    const bool keepAlive = now - lastKeepAlive_ >= kKeepAlive;
    if (keepAlive) {
        lastKeepAlive_ = now;
    }
    for (const auto& stream : streams_) {
        if (keepAlive) {
            stream->push(kKeepAliveComment);
        }
        if (stream->cutIfOverdue(now, kOverflowGrace)) {
            ORQ_LOG(pLogger, INFO,
                    "tick - closed a client of the event stream that takes "
                    "nothing");
        }
        stream->endIfGone();
    }
}

size_t EventStreams::endAll() {
    std::lock_guard<std::mutex> lock(mux_);
    for (const auto& stream : streams_) {
        stream->end();
    }
    return streams_.size();
}

size_t EventStreams::openCount() const {
    std::lock_guard<std::mutex> lock(mux_);
    return streams_.size();
}
