// Resources and the resource tree as the HTTP server's URI registry, without sockets: finding
// children (through an index in large folders), URIs, resolving request paths (with "*"
// children), and taking resources out of the tree.

#include <gtest/gtest.h>

#include <memory>

#include "ResourceTree.h"

namespace {

// A folder with `count` children named c0, c1, ...
struct Folder {
    explicit Folder(int count) {
        for (int i = 0; i < count; ++i) {
            add("c" + std::to_string(i));
        }
    }
    Resource* add(const std::string& name) {
        owned.emplace_back(new Resource(new ResourceDescriptor(name.c_str()), nullptr, 0));
        folder.addChild(owned.back().get());
        return owned.back().get();
    }
    std::string names() const {
        std::string out;
        for (const Resource* child : folder.children) {
            out += child->name() + " ";
        }
        return out;
    }
    ResourceDescriptor rootDesc{"net"};
    Resource folder{&rootDesc};
    std::vector<std::unique_ptr<Resource>> owned;
};

TEST(Resource, ChildrenAreFoundByNameAndKeepTheirOrderWhateverTheirNumber) {
    for (int count : {4, 16, 2000}) {
        SCOPED_TRACE(count);
        Folder f(count);
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(f.owned[i].get(), f.folder.findChild("c" + std::to_string(i)));
            EXPECT_EQ(&f.folder, f.owned[i]->parent);
        }
        EXPECT_EQ(nullptr, f.folder.findChild("c" + std::to_string(count)));
        EXPECT_EQ(nullptr, f.folder.findChild(""));
        // The first of two namesakes is found, then the second once it goes; a later one
        // going first leaves the earlier one found.
        Resource* first = f.add("twin");
        Resource* second = f.add("twin");
        EXPECT_EQ(first, f.folder.findChild("twin"));
        f.folder.removeChild(first);
        EXPECT_EQ(second, f.folder.findChild("twin"));
        Resource* third = f.add("twin");
        f.folder.removeChild(third);
        EXPECT_EQ(second, f.folder.findChild("twin"));
        f.folder.removeChild(second);
        EXPECT_EQ(nullptr, f.folder.findChild("twin"));
        // Removals at either end and between keep the order; a new child goes at the end.
        Resource* last = f.owned[count - 1].get();
        for (Resource* r : {last, f.owned[0].get(), f.owned[1].get()}) {
            f.folder.removeChild(r);
            EXPECT_EQ(nullptr, r->parent);
            EXPECT_EQ(nullptr, f.folder.findChild(r->name()));
        }
        f.folder.removeChild(f.owned[0].get());  // no longer a child: nothing changes
        f.add("new");
        std::string expected;
        for (int i = 2; i < count - 1; ++i) {
            expected += "c" + std::to_string(i) + " ";
        }
        EXPECT_EQ(expected + "new ", f.names());
        EXPECT_EQ(f.owned[2].get(), f.folder.findChild("c2"));
        EXPECT_EQ(f.owned.back().get(), f.folder.findChild("new"));
    }
}

TEST(Resource, TheUriIsMadeFromTheNamesUpToTheRoot) {
    ResourceDescriptor rootDesc(""), netDesc("net"), defDesc("default"), nodeDesc("1101");
    Resource root(&rootDesc), net(&netDesc), def(&defDesc), node(&nodeDesc);
    // Built from the bottom up, then attached: each URI reads as the tree stands.
    def.addChild(&node);
    net.addChild(&def);
    EXPECT_EQ("/default/1101", node.uri.str());
    root.addChild(&net);
    EXPECT_TRUE(root.uri.empty());
    EXPECT_EQ("/net/default", static_cast<std::string>(def.uri));
    EXPECT_EQ("/net/default/1101", node.uri.str());
    root.removeChild(&net);
    EXPECT_TRUE(net.uri.empty());
    EXPECT_EQ("/default/1101", node.uri.str());
    def.removeChild(&node);
    net.removeChild(&def);
}

// A descriptor owned by its resource, counting how many such resources were deleted.
struct CountedDescriptor : ResourceDescriptor {
    CountedDescriptor(const char* path, int* deleted)
        : ResourceDescriptor(path), deleted(deleted) {}
    ~CountedDescriptor() override { ++*deleted; }
    int* deleted;
};

TEST(ResourceTree, PathsResolveWithWildcardsAndSubtreesLeaveFromTheBottomUp) {
    Debug log{"HTTPServer"};
    const ResourceDescriptor rootDesc{""};
    int deleted = 0;
    std::vector<std::string> left;
    auto tree = std::make_unique<ResourceTree>(&rootDesc, 42, log);
    tree->setUnregistered([&](Resource* r) { left.push_back(r->uri); });
    auto add = [&](Resource* parent, const char* name) {
        auto* r = new Resource(new CountedDescriptor(name, &deleted), nullptr, 0);
        tree->add(r, parent);
        return r;
    };
    Resource* net = add(nullptr, "net");
    Resource* def = add(net, "default");
    Resource* nodes = add(def, "wsnnodes");
    Resource* any = add(nodes, "*");
    Resource* special = add(nodes, "special");
    Resource* version = add(nullptr, "version");
    EXPECT_EQ(42, tree->root()->data);
    EXPECT_EQ(def, tree->find(net, "default"));
    EXPECT_EQ(nullptr, tree->find(nullptr, "default"));
    const struct {
        const char* path;
        Resource* resolved;
    } cases[] = {
        {"/net/default/wsnnodes", nodes},
        {"/net/default/wsnnodes/0x1234", any},
        {"/net/default/wsnnodes/special", special},  // the name itself comes before "*"
        {"//net///default/", def},
        {"/", tree->root()},
        {"", tree->root()},
        {"/net/x", nullptr},
        {"/net/default/wsnnodes/0x1234/more", nullptr},
        {"/Net", nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.resolved, tree->resolve(c.path)) << c.path;
    }
    bool found = true;
    EXPECT_EQ(def, tree->deepest("/net/default/nothing/below", found));
    EXPECT_FALSE(found);
    EXPECT_EQ(version, tree->deepest("/version", found));
    EXPECT_TRUE(found);

    tree->remove(def);
    EXPECT_EQ(std::vector<std::string>({"/net/default/wsnnodes/*", "/net/default/wsnnodes/special",
                                        "/net/default/wsnnodes", "/net/default"}),
              left);
    EXPECT_EQ(4, deleted);
    EXPECT_EQ(nullptr, tree->resolve("/net/default/wsnnodes/0x1234"));
    EXPECT_TRUE(net->children.empty());
    // The root is never removed; clearing it empties the tree.
    left.clear();
    tree->remove(nullptr);
    tree->remove(tree->root());
    EXPECT_EQ(version, tree->resolve("/version"));
    tree->clear(tree->root());
    EXPECT_EQ(std::vector<std::string>({"/net", "/version"}), left);
    EXPECT_EQ(nullptr, tree->resolve("/version"));
    // Destroying the tree deletes what is left quietly.
    add(add(nullptr, "a"), "b");
    left.clear();
    tree.reset();
    EXPECT_EQ(8, deleted);
    EXPECT_TRUE(left.empty());
}

}  // namespace
