// The resource tree as the HTTP server's URI registry, without sockets: building it,
// resolving request paths (with "*" children), and taking resources out of it.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ResourceTree.h"

namespace {

// A descriptor owned by its resource, counting how many such resources were deleted.
struct CountedDescriptor : ResourceDescriptor {
    CountedDescriptor(const char* path, int* deleted)
        : ResourceDescriptor(path), deleted(deleted) {}
    ~CountedDescriptor() override { ++*deleted; }
    int* deleted;
};

class ResourceTreeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tree.setUnregistered([this](Resource* r) { left.push_back(r->uri); });
        net = add(nullptr, "net");
        def = add(net, "default");
        nodes = add(def, "wsnnodes");
        anyNode = add(nodes, "*");
        special = add(nodes, "special");
        version = add(nullptr, "version");
    }
    Resource* add(Resource* parent, const char* name) {
        auto* r = new Resource(new CountedDescriptor(name, &deleted), nullptr, 0);
        tree.add(r, parent);
        return r;
    }

    Debug log{"HTTPServer"};
    const ResourceDescriptor rootDesc{""};
    int deleted = 0;
    std::vector<std::string> left;
    ResourceTree tree{&rootDesc, 42, log};
    Resource* net = nullptr;
    Resource* def = nullptr;
    Resource* nodes = nullptr;
    Resource* anyNode = nullptr;
    Resource* special = nullptr;
    Resource* version = nullptr;
};

TEST_F(ResourceTreeTest, ResourcesGetTheirFullUriAndAreFoundByName) {
    EXPECT_EQ(tree.root()->rd, &rootDesc);
    EXPECT_EQ(tree.root()->data, 42);
    EXPECT_EQ(tree.root()->uri.str(), "");
    EXPECT_EQ(net->uri.str(), "/net");
    EXPECT_EQ(anyNode->uri.str(), "/net/default/wsnnodes/*");
    EXPECT_EQ(net->parent, tree.root());
    EXPECT_EQ(tree.find(nullptr, "net"), net);
    EXPECT_EQ(tree.find(tree.root(), "version"), version);
    EXPECT_EQ(tree.find(net, "default"), def);
    EXPECT_EQ(tree.find(nullptr, "default"), nullptr);
}

TEST_F(ResourceTreeTest, PathsResolveWithWildcardsAndEmptySegments) {
    EXPECT_EQ(tree.resolve("/net/default/wsnnodes"), nodes);
    EXPECT_EQ(tree.resolve("/net/default/wsnnodes/0x1234"), anyNode);
    // A child of the name itself comes before "*".
    EXPECT_EQ(tree.resolve("/net/default/wsnnodes/special"), special);
    EXPECT_EQ(tree.resolve("//net///default/"), def);
    EXPECT_EQ(tree.resolve("/"), tree.root());
    EXPECT_EQ(tree.resolve(""), tree.root());
    EXPECT_EQ(tree.resolve("/net/x"), nullptr);
    EXPECT_EQ(tree.resolve("/net/default/wsnnodes/0x1234/more"), nullptr);
    EXPECT_EQ(tree.resolve("/Net"), nullptr);

    bool found = true;
    EXPECT_EQ(tree.deepest("/net/default/nothing/below", found), def);
    EXPECT_FALSE(found);
    EXPECT_EQ(tree.deepest("/elsewhere", found), tree.root());
    EXPECT_FALSE(found);
    EXPECT_EQ(tree.deepest("/version", found), version);
    EXPECT_TRUE(found);
}

TEST_F(ResourceTreeTest, RemovingASubtreeUnregistersEachResourceBelowFirst) {
    tree.remove(def);
    EXPECT_EQ(left,
              (std::vector<std::string>{"/net/default/wsnnodes/*", "/net/default/wsnnodes/special",
                                        "/net/default/wsnnodes", "/net/default"}));
    EXPECT_EQ(deleted, 4);
    EXPECT_EQ(tree.resolve("/net/default"), nullptr);
    EXPECT_EQ(tree.resolve("/net/default/wsnnodes/0x1234"), nullptr);
    EXPECT_EQ(tree.resolve("/net"), net);
    EXPECT_TRUE(net->children.empty());

    // The root is never removed; clearing it empties the tree.
    left.clear();
    tree.remove(nullptr);
    tree.remove(tree.root());
    EXPECT_TRUE(left.empty());
    EXPECT_EQ(tree.resolve("/version"), version);
    tree.clear(tree.root());
    EXPECT_EQ(left, (std::vector<std::string>{"/net", "/version"}));
    EXPECT_EQ(deleted, 6);
    EXPECT_EQ(tree.resolve("/version"), nullptr);
    EXPECT_EQ(tree.resolve("/"), tree.root());
}

TEST_F(ResourceTreeTest, DestroyingTheTreeDeletesItsResourcesQuietly) {
    int gone = 0;
    std::vector<std::string> told;
    auto other = std::make_unique<ResourceTree>(&rootDesc, 0, log);
    other->setUnregistered([&](Resource* r) { told.push_back(r->uri); });
    Resource* a = new Resource(new CountedDescriptor("a", &gone), nullptr, 0);
    other->add(a, nullptr);
    other->add(new Resource(new CountedDescriptor("b", &gone), nullptr, 0), a);
    other.reset();
    EXPECT_EQ(gone, 2);
    EXPECT_TRUE(told.empty());
}

TEST(SplitFields, KeepsTheNonEmptyFieldsBetweenSeparators) {
    EXPECT_EQ(splitFields("9000, 9443s\t127.0.0.1:80,,", " \t,"),
              (std::vector<std::string>{"9000", "9443s", "127.0.0.1:80"}));
    EXPECT_EQ(splitFields("/net//default/", "/"), (std::vector<std::string>{"net", "default"}));
    EXPECT_TRUE(splitFields("", "/").empty());
    EXPECT_TRUE(splitFields("///", "/").empty());
}

}  // namespace
