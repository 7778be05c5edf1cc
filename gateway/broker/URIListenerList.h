#ifndef ORQ_URILISTENERLIST_H
#define ORQ_URILISTENERLIST_H

#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "CRESTClient.h"

class URIListenerList;

// Told of every change of a URIListenerList. Called with no lock of the list held, so an
// implementation may start or stop agent work and may change the list again.
class URIListenerHandler {
  public:
    virtual ~URIListenerHandler() = default;
    // A new URL was appended; `listener` is a copy of the new entry.
    virtual void addListener(URIListenerList* list, const uriListener_t& listener,
                             int sessionId) = 0;
    // A URL already present was registered again: `updated` replaced `old` and kept its id.
    virtual void updateListener(URIListenerList* list, const uriListener_t& old,
                                const uriListener_t& updated, int sessionId) = 0;
    // One or more listeners went away (the list may or may not be empty now).
    virtual void removeListeners(URIListenerList* list) = 0;
};

// The URI listeners of one kind of request or event, in order of registration, at most
// kMaxListeners of them, each URL once.
//
// Threads: registered on the poll-loop thread, delivered to and removed from agent threads.
// The list's mutex is a leaf lock: it is held only while the entries are read or changed,
// never while the handler is told, so attach and detach operations may call the agents and
// the agents' notifications may walk the list (docs/broker.md, "Locks").
class URIListenerList {
  public:
    static constexpr size_t kMaxListeners = 20;

    URIListenerList() = default;
    virtual ~URIListenerList() = default;
    URIListenerList(const URIListenerList&) = delete;
    URIListenerList& operator=(const URIListenerList&) = delete;

    // False when the list is full (nothing changes). Otherwise a new listener (new id, a
    // clone of `handback`, type from the URL) is appended, or replaces the entry with the
    // same URL and takes over its id; the handler is then told (addListener or
    // updateListener). `added`, when given, receives a copy of the new entry.
    bool addListener(const std::string& URL, int sessionId, const UriListenerHandback* handback,
                     uriListener_t* added = nullptr);
    // Removes every listener with this id; the handler's removeListeners follows. False
    // when there was none (the handler is not told).
    bool removeListener(const std::string& id);
    // Removes the listeners whose ids are given (those still present); the handler is told
    // once when any went.
    void removeListenersById(const std::vector<std::string>& ids);
    // Empties the list; the handler's removeListeners follows.
    void removeListeners();

    // A copy of the entries, in order (deliveries walk the copy).
    std::vector<uriListener_t> snapshot() const;
    size_t size() const;
    bool empty() const { return size() == 0; }
    // A copy of the first listener whose URL contains `host`; false when none does.
    bool findListenerByHost(const std::string& host, uriListener_t* out = nullptr) const;
    bool hasListener(const std::string& id) const;
    // Calls `fn` on the handback of every listener that has one, under the list's lock (`fn`
    // must not call back into the list).
    void forEachHandback(const std::function<void(UriListenerHandback*)>& fn);

    URIListenerHandler* handler = nullptr;
    // The list's key in the per-service and per-callback maps.
    int data = 0;

  protected:
    mutable std::mutex mux;
    std::list<uriListener_t> listeners;
};

#endif
