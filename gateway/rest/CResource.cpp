#include "CResource.h"

std::string ResourceUri::str() const {
    size_t length = 0;
    for (const Resource* r = self; r->parent != nullptr; r = r->parent) {
        length += 1 + r->name().size();
    }
    // Filled from the end: each name, and the "/" before it.
    std::string uri(length, '/');
    for (const Resource* r = self; r->parent != nullptr; r = r->parent) {
        length -= r->name().size();
        r->name().copy(&uri[length], r->name().size());
        --length;
    }
    return uri;
}

bool ResourceUri::empty() const {
    return self->parent == nullptr;
}

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
    if (index) {
        auto it = index->byName.find(name);
        return it != index->byName.end() ? it->second : nullptr;
    }
    for (Resource* child : children) {
        if (child->name() == name) {
            return child;
        }
    }
    return nullptr;
}

void Resource::addChild(Resource* child) {
    child->parent = this;
    child->next = nullptr;
    if (index) {
        index->last->next = child;
        index->last = child;
        index->namesakes += index->byName.emplace(child->name(), child).second ? 0 : 1;
        return;
    }
    size_t count = 1;
    Resource** end = &children.first;
    for (; *end != nullptr; end = &(*end)->next) {
        ++count;
    }
    *end = child;
    if (count >= kIndexFrom) {
        index = std::make_unique<Index>();
        index->last = child;
        for (Resource* c : children) {
            index->namesakes += index->byName.emplace(c->name(), c).second ? 0 : 1;
        }
    }
}

void Resource::removeChild(Resource* child) {
    Resource* before = nullptr;
    Resource* at = children.first;
    while (at != nullptr && at != child) {
        before = at;
        at = at->next;
    }
    const bool wasChild = at != nullptr;
    if (wasChild) {
        (before != nullptr ? before->next : children.first) = child->next;
        if (index && index->last == child) {
            index->last = before;
        }
    }
    if (index) {
        auto named = index->byName.find(child->name());
        if (named != index->byName.end()) {
            if (named->second == child) {
                index->byName.erase(named);
                // Another child of the same name, if any, is found from now on.
                for (auto c = children.begin(); index->namesakes > 0 && c != children.end(); ++c) {
                    if ((*c)->name() == child->name()) {
                        index->byName.emplace((*c)->name(), *c);
                        --index->namesakes;
                        break;
                    }
                }
            } else if (wasChild) {
                --index->namesakes;  // a namesake the index never held
            }
        }
        if (index->byName.empty()) {
            index.reset();
        }
    }
    if (wasChild) {
        child->parent = nullptr;
        child->next = nullptr;
    }
}
