#ifndef ORQ_CRESOURCE_H
#define ORQ_CRESOURCE_H

#include <cstdint>
#include <list>
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

// One node of the URI tree. The tree is built and changed on the poll-loop thread only; a
// resource owns its children (deleted by HTTPServer::removeResource / clearResource) and its
// `dynrd` descriptor.
class Resource {
  public:
    Resource(const ResourceDescriptor* descriptor, ResourceHandler* handler, intptr_t data);
    Resource(ResourceDescriptor* ownedDescriptor, ResourceHandler* handler, intptr_t data);
    explicit Resource(const ResourceDescriptor* descriptor);
    virtual ~Resource();
    Resource(const Resource&) = delete;
    Resource& operator=(const Resource&) = delete;

    // Appends `child`, sets its parent and computes its full URI (parent's URI, "/", path).
    void addChild(Resource* child);
    // Takes `child` out of the list, clears its parent and empties its URI.
    void removeChild(Resource* child);

    const std::string& name() const { return rd->path; }
    // The first child named `name`, or null. A folder of many children (the node folders of a
    // large network) is searched through an index, so that neither a request's resolution nor
    // making the folders of thousands of nodes grows with their number.
    Resource* findChild(const std::string& name) const;

    const ResourceDescriptor* rd;
    ResourceHandler* handler;
    std::string uri;
    ResourceDescriptor* dynrd = nullptr;
    intptr_t data;
    Resource* parent = nullptr;
    std::list<Resource*> children;

  private:
    // Children by name (the first of each name), kept once there are kIndexFrom children.
    static constexpr size_t kIndexFrom = 16;
    std::unordered_map<std::string_view, Resource*> index;
    // Children the index does not hold because an earlier one has their name.
    size_t namesakes = 0;
};

#endif
