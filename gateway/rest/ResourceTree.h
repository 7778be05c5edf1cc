#ifndef ORQ_RESOURCETREE_H
#define ORQ_RESOURCETREE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "CDebug.h"
#include "CResource.h"

// The non-empty fields of `text` between any of the `separators` (path segments, option lists).
std::vector<std::string> splitFields(const std::string& text, const char* separators);

// The URI tree of the HTTP server, which is also its URI registry: the root resource, the
// operations that build, change and search the tree, and the resolution of a request path
// against it (a "*" child matches any name at its level). It owns every resource added to it.
// Owned by HTTPServer and worked by its poll-loop thread only; it logs through the logger it is
// given.
class ResourceTree {
  public:
    // Called for each resource that leaves the tree, while it still has its URI, after the
    // resources below it.
    using Unregistered = std::function<void(Resource*)>;

    // The root is described by `rootDescriptor` and carries `rootData`.
    ResourceTree(const ResourceDescriptor* rootDescriptor, intptr_t rootData, Debug& logger);
    // Deletes every resource; nobody is told.
    ~ResourceTree();
    ResourceTree(const ResourceTree&) = delete;
    ResourceTree& operator=(const ResourceTree&) = delete;

    void setUnregistered(Unregistered fn) { unregistered = std::move(fn); }

    Resource* root() { return &rootResource; }
    // Adds `resource` under `parent` (the root when null) and takes it over; its URIs are
    // reachable at once.
    void add(Resource* resource, Resource* parent);
    // The child `name` of `parent` (the root when null), or null.
    Resource* find(Resource* parent, const std::string& name);
    // Deletes `resource` and everything below it. The root stays (use clear).
    void remove(Resource* resource);
    // Deletes everything below `resource`.
    void clear(Resource* resource);
    // The resource `path` names, or its deepest existing ancestor (`found` false).
    Resource* deepest(const std::string& path, bool& found);
    // The resource `path` names, or null.
    Resource* resolve(const std::string& path);

  private:
    void leave(Resource* resource);

    Debug& pLogger;
    Resource rootResource;
    Unregistered unregistered;
};

#endif
