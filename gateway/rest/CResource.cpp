#include "CResource.h"

#include <algorithm>

Resource::Resource(const ResourceDescriptor* descriptor, ResourceHandler* h, intptr_t d)
    : rd(descriptor), handler(h), data(d) {}

Resource::Resource(ResourceDescriptor* ownedDescriptor, ResourceHandler* h, intptr_t d)
    : rd(ownedDescriptor), handler(h), dynrd(ownedDescriptor), data(d) {}

Resource::Resource(const ResourceDescriptor* descriptor)
    : rd(descriptor), handler(nullptr), data(0) {}

Resource::~Resource() {
    delete dynrd;
}

void Resource::addChild(Resource* child) {
    children.push_back(child);
    child->parent = this;
    child->uri = uri + "/" + child->rd->path;
}

void Resource::removeChild(Resource* child) {
    auto it = std::find(children.begin(), children.end(), child);
    if (it != children.end()) {
        children.erase(it);
    }
    child->parent = nullptr;
    child->uri.clear();
}
