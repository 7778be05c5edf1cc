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
    ResourceDescriptor rootDesc;
    Resource folder{&rootDesc};
    std::vector<std::unique_ptr<Resource>> owned;
};

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

}  // namespace
