#include "EventRing.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Hexadecimal digits without a 0x prefix or leading zeros, lower case ("0x00A1" -> "a1").
std::string canonicalHex(const std::string& text) {
    std::string s = lower(text);
    if (s.rfind("0x", 0) == 0)
        s = s.substr(2);
    if (s.empty() || s.find_first_not_of("0123456789abcdef") != std::string::npos)
        return std::string();
    size_t first = s.find_first_not_of('0');
    return first == std::string::npos ? "0" : s.substr(first);
}

}  // namespace

bool EventFilter::add(const std::string& name, const std::string& value) {
    if (name == "type") {
        size_t start = 0;
        while (start <= value.size()) {
            size_t comma = value.find(',', start);
            if (comma == std::string::npos)
                comma = value.size();
            if (comma > start)
                types.insert(value.substr(start, comma - start));
            start = comma + 1;
        }
        return !value.empty();
    }
    if (name == "node") {
        node = canonicalHex(value);
        return !node.empty();
    }
    if (name == "endpoint") {
        char* end = nullptr;
        long v = std::strtol(value.c_str(), &end, 0);
        if (value.empty() || *end != '\0' || v < 0 || v > 255)
            return false;
        endpoint = static_cast<int>(v);
        return true;
    }
    return true;
}

bool EventFilter::matches(const StreamEvent& event) const {
    if (!types.empty() && types.count(event.kind) == 0)
        return false;
    if (!node.empty() && canonicalHex(event.node) != node && canonicalHex(event.ieee) != node)
        return false;
    if (endpoint >= 0 && event.endpoint != endpoint)
        return false;
    return true;
}

std::string formatStreamEvent(const StreamEvent& event) {
    std::string out = "id: " + std::to_string(event.id) + "\nevent: " + event.kind + "\n";
    size_t start = 0;
    do {
        size_t eol = event.data.find('\n', start);
        if (eol == std::string::npos)
            eol = event.data.size();
        std::string line = event.data.substr(start, eol - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out += "data: " + line + "\n";
        start = eol + 1;
    } while (start <= event.data.size());
    return out + "\n";
}

StreamEvent EventRing::publish(StreamEvent event) {
    std::lock_guard<std::mutex> lock(mux_);
    event.id = nextId_++;
    events_.push_back(event);
    bytes_ += event.data.size();
    while (events_.size() > capacity_ || (bytes_ > maxBytes_ && events_.size() > 1)) {
        bytes_ -= events_.front().data.size();
        events_.pop_front();
    }
    return event;
}

EventRing::Replay EventRing::since(uint64_t lastId, const EventFilter& filter) const {
    std::lock_guard<std::mutex> lock(mux_);
    Replay replay;
    uint64_t oldest = events_.empty() ? nextId_ : events_.front().id;
    replay.gap = lastId + 1 < oldest;
    for (const StreamEvent& e : events_)
        if (e.id > lastId && filter.matches(e))
            replay.events.push_back(e);
    return replay;
}

uint64_t EventRing::lastId() const {
    std::lock_guard<std::mutex> lock(mux_);
    return nextId_ - 1;
}
