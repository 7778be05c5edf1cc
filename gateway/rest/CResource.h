#ifndef ORQ_CRESOURCE_H
#define ORQ_CRESOURCE_H

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

class HTTPSessionContext;
class Resource;

// Request method as the handlers see it.
enum Method { M_GET = 0, M_POST = 1, M_PUT = 2, M_DELETE = 3, M_OTHER = 4 };

// Describes one node of the URI tree; `path` is the node's own URI segment ("*" matches any
// name at its level). Tables of descriptors may live in static storage; a descriptor made for
// one resource alone is owned by it (Resource::dynrd).
class ResourceDescriptor {
  public:
    ResourceDescriptor() = default;
    explicit ResourceDescriptor(const char* p) : path(p != nullptr ? p : "") {}
    virtual ~ResourceDescriptor() = default;

    std::string path;
};

// Serves the requests addressed to the resources it was given. Called on the thread that
// runs the HTTP poll loop.
class ResourceHandler {
  public:
    virtual ~ResourceHandler() = default;
    virtual void handle(Resource* resource, const char* uri, Method method, const char* query,
                        std::string* body, HTTPSessionContext* session) = 0;
};

// A resource's full URI ("" for the root and for a resource in no tree; "/net/default" ...),
// made from the names on its way up to the root when it is asked for. A large network has
// tens of thousands of resources: none keeps its URI.
class ResourceUri {
  public:
    explicit ResourceUri(const Resource* owner) : self(owner) {}
    ResourceUri(const ResourceUri&) = delete;
    ResourceUri& operator=(const ResourceUri&) = delete;

    std::string str() const;
    operator std::string() const { return str(); }  // NOLINT: reads as the URI it names
    bool empty() const;

  private:
    const Resource* self;
};

// The children of a resource, in the order they were added: a list threaded through the
// children themselves (Resource::next), so that a child costs its folder no allocation.
class ResourceChildren {
  public:
    class iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Resource*;
        using difference_type = std::ptrdiff_t;
        using pointer = Resource* const*;
        using reference = Resource* const&;

        iterator() = default;
        explicit iterator(Resource* at) : r(at) {}
        reference operator*() const { return r; }
        iterator& operator++();
        iterator operator++(int) {
            iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const iterator& o) const { return r == o.r; }
        bool operator!=(const iterator& o) const { return r != o.r; }

      private:
        Resource* r = nullptr;
    };

    iterator begin() const { return iterator(first); }
    iterator end() const { return iterator(); }
    bool empty() const { return first == nullptr; }
    Resource* front() const { return first; }

  private:
    friend class Resource;
    Resource* first = nullptr;
};

// One node of the URI tree. The tree is built and changed on the poll-loop thread only; a
// resource owns its children (deleted by HTTPServer::removeResource / clearResource) and its
// `dynrd` descriptor.
class Resource final {
  public:
    Resource(const ResourceDescriptor* descriptor, ResourceHandler* handler, intptr_t data);
    Resource(ResourceDescriptor* ownedDescriptor, ResourceHandler* handler, intptr_t data);
    explicit Resource(const ResourceDescriptor* descriptor);
    ~Resource();
    Resource(const Resource&) = delete;
    Resource& operator=(const Resource&) = delete;

    // Appends `child` and sets its parent; its URI is its parent's, "/" and its name.
    void addChild(Resource* child);
    // Takes `child` out of the list and clears its parent (its URI is "" from then on).
    void removeChild(Resource* child);

    const std::string& name() const { return rd->path; }
    // The first child named `name`, or null. A folder of many children (the node folders of a
    // large network) is searched through an index, so that neither a request's resolution nor
    // making the folders of thousands of nodes grows with their number.
    Resource* findChild(const std::string& name) const;

    const ResourceDescriptor* rd;
    ResourceHandler* handler;
    const ResourceUri uri{this};
    ResourceDescriptor* dynrd = nullptr;
    intptr_t data;
    Resource* parent = nullptr;
    ResourceChildren children;

  private:
    friend class ResourceChildren;
    friend class ResourceChildren::iterator;
    // Children by name (the first of each name), how many children it does not hold because
    // an earlier one has their name, and the last child (a small folder's is found by walking).
    struct Index {
        std::unordered_map<std::string_view, Resource*> byName;
        size_t namesakes = 0;
        Resource* last = nullptr;
    };
    // Kept once there are kIndexFrom children.
    static constexpr size_t kIndexFrom = 16;

    Resource* next = nullptr;  // the next child of `parent`
    std::unique_ptr<Index> index;
};

inline ResourceChildren::iterator& ResourceChildren::iterator::operator++() {
    r = r->next;
    return *this;
}

#endif
