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

Resource* Resource::findChild(const std::string& name) const {
    if (!index.empty()) {
        auto it = index.find(name);
        return it != index.end() ? it->second : nullptr;
    }
    for (Resource* child : children) {
        if (child->name() == name) {
            return child;
        }
    }
    return nullptr;
}

void Resource::addChild(Resource* child) {
    children.push_back(child);
    child->parent = this;
    child->uri = uri + "/" + child->rd->path;
    if (!index.empty()) {
        index.emplace(child->name(), child);
    } else if (children.size() >= kIndexFrom) {
        for (Resource* c : children) {
            index.emplace(c->name(), c);
        }
    }
}

void Resource::removeChild(Resource* child) {
    auto it = std::find(children.begin(), children.end(), child);
    if (it != children.end()) {
        children.erase(it);
    }
    auto named = index.find(child->name());
    if (named != index.end() && named->second == child) {
        index.erase(named);
        // Another child of the same name, if any, is found from now on.
        for (Resource* c : children) {
            if (c->name() == child->name()) {
                index.emplace(c->name(), c);
                break;
            }
        }
    }
    child->parent = nullptr;
    child->uri.clear();
}
