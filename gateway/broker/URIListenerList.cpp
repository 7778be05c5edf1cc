#include "URIListenerList.h"

#include <algorithm>

bool URIListenerList::addListener(const std::string& URL, int sessionId,
                                  const UriListenerHandback* handback, uriListener_t* added) {
    uriListener_t fresh;
    uriListener_t old;
    bool replaced = false;
    {
        std::lock_guard<std::mutex> lock(mux);
        auto same = std::find_if(listeners.begin(), listeners.end(),
                                 [&](const uriListener_t& l) { return l.URL == URL; });
        if (same == listeners.end() && listeners.size() >= kMaxListeners) {
            return false;
        }
        fresh = uriListener_t(URL, handback != nullptr ? handback->clone() : nullptr);
        if (same != listeners.end()) {
            fresh.id = same->id;
            old = *same;
            *same = fresh;
            replaced = true;
        } else {
            listeners.push_back(fresh);
        }
    }
    if (added != nullptr) {
        *added = fresh;
    }
    if (handler != nullptr) {
        if (replaced) {
            handler->updateListener(this, old, fresh, sessionId);
        } else {
            handler->addListener(this, fresh, sessionId);
        }
    }
    return true;
}

bool URIListenerList::removeListener(const std::string& id) {
    size_t removed = 0;
    {
        std::lock_guard<std::mutex> lock(mux);
        const size_t before = listeners.size();
        listeners.remove_if([&](const uriListener_t& l) { return l.id == id; });
        removed = before - listeners.size();
    }
    if (removed == 0) {
        return false;
    }
    if (handler != nullptr) {
        handler->removeListeners(this);
    }
    return true;
}

void URIListenerList::removeListenersById(const std::vector<std::string>& ids) {
    size_t removed = 0;
    {
        std::lock_guard<std::mutex> lock(mux);
        const size_t before = listeners.size();
        listeners.remove_if([&](const uriListener_t& l) {
            return std::find(ids.begin(), ids.end(), l.id) != ids.end();
        });
        removed = before - listeners.size();
    }
    if (removed != 0 && handler != nullptr) {
        handler->removeListeners(this);
    }
}

void URIListenerList::removeListeners() {
    {
        std::lock_guard<std::mutex> lock(mux);
        listeners.clear();
    }
    if (handler != nullptr) {
        handler->removeListeners(this);
    }
}

std::vector<uriListener_t> URIListenerList::snapshot() const {
    std::lock_guard<std::mutex> lock(mux);
    return std::vector<uriListener_t>(listeners.begin(), listeners.end());
}

size_t URIListenerList::size() const {
    std::lock_guard<std::mutex> lock(mux);
    return listeners.size();
}

bool URIListenerList::findListenerByHost(const std::string& host, uriListener_t* out) const {
    std::lock_guard<std::mutex> lock(mux);
    for (const uriListener_t& l : listeners) {
        if (l.URL.find(host) != std::string::npos) {
            if (out != nullptr) {
                *out = l;
            }
            return true;
        }
    }
    return false;
}

bool URIListenerList::hasListener(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mux);
    return std::any_of(listeners.begin(), listeners.end(),
                       [&](const uriListener_t& l) { return l.id == id; });
}

void URIListenerList::forEachHandback(const std::function<void(UriListenerHandback*)>& fn) {
    std::lock_guard<std::mutex> lock(mux);
    for (uriListener_t& l : listeners) {
        if (l.hback != nullptr) {
            fn(l.hback);
        }
    }
}
