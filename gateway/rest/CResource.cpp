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
        namesakes += index.emplace(child->name(), child).second ? 0 : 1;
    } else if (children.size() >= kIndexFrom) {
        for (Resource* c : children) {
            namesakes += index.emplace(c->name(), c).second ? 0 : 1;
        }
    }
}

void Resource::removeChild(Resource* child) {
    auto it = std::find(children.begin(), children.end(), child);
    const bool wasChild = it != children.end();
    if (wasChild) {
        children.erase(it);
    }
    auto named = index.find(child->name());
    if (named != index.end()) {
        if (named->second == child) {
            index.erase(named);
            // Another child of the same name, if any, is found from now on.
            for (auto c = children.begin(); namesakes > 0 && c != children.end(); ++c) {
                if ((*c)->name() == child->name()) {
                    index.emplace((*c)->name(), *c);
                    --namesakes;
                    break;
                }
            }
        } else if (wasChild) {
            --namesakes;  // a namesake the index never held
        }
    }
    if (index.empty()) {
        namesakes = 0;
    }
    child->parent = nullptr;
    child->uri.clear();
}
