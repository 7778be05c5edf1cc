// What the files of the adapter share (OrqZbIf.cpp, OrqZbIfEvents.cpp): the delivery of an
// event to its listeners and a few wire values. Internal to the adapter.
#pragma once

#include <algorithm>
#include <mutex>

#include "OrqZbIf.h"

namespace orqzbif {
// The attribute the liveness probe reads: the channel, as the start-up chain does.
constexpr uchar ZB_ATTR_GET_CHANNEL_PROBE = 0xC3;

inline void putLE16(uchar* p, unsigned v) {
    p[0] = static_cast<uchar>(v & 0xFF);
    p[1] = static_cast<uchar>((v >> 8) & 0xFF);
}
}  // namespace orqzbif

// Calls every listener registered for `Event` with args, on the calling thread, from a snapshot
// of the list; false when nobody listens. registerListener has admitted only listeners of the
// key's kind, so each is called through its own type.
template <int Event, typename... A>
bool OrqZbIf::fire(const A&... args) {
    using L = typename ZbEventListener<Event>::type;
    ListenerList snapshot;
    {
        std::lock_guard<std::mutex> lock(listenersMux);
        auto it = listeners.find(Event);
        if (it == listeners.end() || it->second.empty()) {
            return false;
        }
        snapshot = it->second;
    }
    for (ZbListenerBase* base : snapshot) {
        typename L::Fn fn;
        {
            // Skip one that an earlier listener (or another thread) has unregistered. The
            // function is copied while the record is known to be registered: the record may
            // be destroyed as soon as the lock is released.
            std::lock_guard<std::mutex> lock(listenersMux);
            const ListenerList& now = listeners[Event];
            if (std::find(now.begin(), now.end(), base) == now.end()) {
                continue;
            }
            L* l = static_cast<L*>(base);
            if (!l->fn) {
                continue;
            }
            fn = l->fn;
        }
        fn(args...);
    }
    return true;
}
