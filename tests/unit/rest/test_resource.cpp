#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CResource.h"

namespace {

// A folder with `count` children named c0, c1, ...; a folder of many children (the node
// folders of a large network) is searched through an index, a small one by walking its list.
struct Folder {
    explicit Folder(int count) : rootDesc("net") {
        for (int i = 0; i < count; ++i) {
            add("c" + std::to_string(i));
        }
    }
    Resource* add(const std::string& name) {
        auto* child = new Resource(new ResourceDescriptor(name.c_str()), nullptr, 0);
        owned.emplace_back(child);
        folder.addChild(child);
        return child;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const Resource* child : folder.children) {
            out.push_back(child->name());
        }
        return out;
    }
    ResourceDescriptor rootDesc;
    Resource folder{&rootDesc};
    std::vector<std::unique_ptr<Resource>> owned;
};

std::vector<std::string> cNames(int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i < to; ++i) {
        out.push_back("c" + std::to_string(i));
    }
    return out;
}

TEST(Resource, ChildrenAreFoundByNameWhateverTheirNumber) {
    for (int count : {3, 15, 16, 2000}) {
        SCOPED_TRACE(count);
        Folder f(count);
        for (int i = 0; i < count; ++i) {
            Resource* child = f.folder.findChild("c" + std::to_string(i));
            ASSERT_NE(child, nullptr);
            EXPECT_EQ(child->name(), "c" + std::to_string(i));
            EXPECT_EQ(child->parent, &f.folder);
        }
        EXPECT_EQ(f.folder.findChild("c" + std::to_string(count)), nullptr);
        EXPECT_EQ(f.folder.findChild(""), nullptr);

        // A removed child is no longer found; the others still are.
        Resource* gone = f.folder.findChild("c1");
        f.folder.removeChild(gone);
        EXPECT_EQ(f.folder.findChild("c1"), nullptr);
        EXPECT_EQ(gone->parent, nullptr);
        EXPECT_EQ(f.folder.findChild("c0"), f.owned[0].get());
        EXPECT_EQ(f.folder.findChild("c2"), f.owned[2].get());
    }
}

TEST(Resource, TheFirstOfTwoNamesakesIsFoundThenTheSecondOnceItGoes) {
    for (int count : {2, 40}) {
        SCOPED_TRACE(count);
        Folder f(count);
        Resource* first = f.add("twin");
        Resource* second = f.add("twin");
        EXPECT_EQ(f.folder.findChild("twin"), first);
        f.folder.removeChild(first);
        EXPECT_EQ(f.folder.findChild("twin"), second);
        f.folder.removeChild(second);
        EXPECT_EQ(f.folder.findChild("twin"), nullptr);

        // The later namesake going first leaves the earlier one found.
        Resource* third = f.add("triplet");
        Resource* fourth = f.add("triplet");
        f.folder.removeChild(fourth);
        EXPECT_EQ(f.folder.findChild("triplet"), third);
        f.folder.removeChild(third);
        EXPECT_EQ(f.folder.findChild("triplet"), nullptr);
    }
}

TEST(Resource, ChildrenKeepTheirOrderThroughRemovalsAtEitherEndAndBetween) {
    for (int count : {3, 20}) {
        SCOPED_TRACE(count);
        Folder f(count);
        EXPECT_EQ(f.names(), cNames(0, count));
        f.folder.removeChild(f.owned[count - 1].get());  // the last
        f.folder.removeChild(f.owned[0].get());          // the first
        f.folder.removeChild(f.owned[1].get());          // the first again
        std::vector<std::string> left = cNames(2, count - 1);
        EXPECT_EQ(f.names(), left);
        // After the last went, a new child still goes at the end, and is found.
        f.add("new");
        left.push_back("new");
        EXPECT_EQ(f.names(), left);
        EXPECT_EQ(f.folder.findChild("new"), f.owned.back().get());
        // A resource that is not a child leaves the list as it is.
        f.folder.removeChild(f.owned[0].get());
        EXPECT_EQ(f.names(), left);
        for (int i = 2; i < count - 1; ++i) {
            f.folder.removeChild(f.owned[i].get());
        }
        f.folder.removeChild(f.owned.back().get());
        EXPECT_TRUE(f.folder.children.empty());
        EXPECT_EQ(f.folder.findChild("new"), nullptr);
        f.add("again");
        EXPECT_EQ(f.names(), std::vector<std::string>{"again"});
    }
}

TEST(Resource, TheUriIsMadeFromTheNamesUpToTheRoot) {
    ResourceDescriptor rootDesc(""), netDesc("net"), defDesc("default"), nodeDesc("1101");
    Resource root(&rootDesc), net(&netDesc), def(&defDesc), node(&nodeDesc);
    // Built from the bottom up, then attached: each URI reads as the tree stands.
    def.addChild(&node);
    net.addChild(&def);
    EXPECT_EQ(node.uri.str(), "/default/1101");
    root.addChild(&net);
    const struct {
        const Resource* r;
        const char* uri;
    } cases[] = {{&root, ""}, {&net, "/net"}, {&def, "/net/default"}, {&node, "/net/default/1101"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri);
        EXPECT_EQ(c.r->uri.str(), c.uri);
        EXPECT_EQ(static_cast<std::string>(c.r->uri), c.uri);
        EXPECT_EQ(c.r->uri.empty(), *c.uri == '\0');
    }
    // Out of the tree, a resource's URI is empty and those below it start from it.
    root.removeChild(&net);
    EXPECT_TRUE(net.uri.empty());
    EXPECT_EQ(node.uri.str(), "/default/1101");
    def.removeChild(&node);
    net.removeChild(&def);
}

}  // namespace
