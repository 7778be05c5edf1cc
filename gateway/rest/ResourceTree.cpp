#include "ResourceTree.h"

std::vector<std::string> splitFields(const std::string& text, const char* separators) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(separators, pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > pos) {
            fields.push_back(text.substr(pos, end - pos));
        }
        pos = end + 1;
    }
    return fields;
}

ResourceTree::ResourceTree(const ResourceDescriptor* rootDescriptor, intptr_t rootData,
                           Debug& logger)
    : pLogger(logger), rootResource(rootDescriptor, nullptr, rootData) {}

ResourceTree::~ResourceTree() {
    unregistered = nullptr;
    clear(&rootResource);
}

void ResourceTree::add(Resource* resource, Resource* parent) {
    (parent != nullptr ? parent : &rootResource)->addChild(resource);
    if (pLogger.getDebugMode() != 0) {
        ORQ_LOG(pLogger, DEBUG, "registerResource - %s", resource->uri.str().c_str());
    }
}

Resource* ResourceTree::find(Resource* parent, const std::string& name) {
    return (parent != nullptr ? parent : &rootResource)->findChild(name);
}

void ResourceTree::remove(Resource* resource) {
    if (resource == nullptr || resource == &rootResource) {
        return;
    }
    clear(resource);
    leave(resource);
    if (resource->parent != nullptr) {
        resource->parent->removeChild(resource);
    }
    delete resource;
}

void ResourceTree::clear(Resource* resource) {
    while (!resource->children.empty()) {
        Resource* child = resource->children.front();
        clear(child);
        leave(child);
        resource->removeChild(child);
        delete child;
    }
}

void ResourceTree::leave(Resource* resource) {
    if (unregistered) {
        unregistered(resource);
    }
}

Resource* ResourceTree::deepest(const std::string& path, bool& found) {
    Resource* r = &rootResource;
    found = false;
    for (const std::string& segment : splitFields(path, "/")) {
        Resource* next = r->findChild(segment);
        if (next == nullptr) {
            next = r->findChild("*");
        }
        if (next == nullptr) {
            return r;
        }
        r = next;
    }
    found = true;
    return r;
}

Resource* ResourceTree::resolve(const std::string& path) {
    bool found = false;
    Resource* r = deepest(path, found);
    return found ? r : nullptr;
}
