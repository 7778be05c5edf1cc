#include <gtest/gtest.h>

#include "CResource.h"

namespace {

int liveDescriptors = 0;

class CountingDescriptor : public ResourceDescriptor {
  public:
    explicit CountingDescriptor(const char* p) : ResourceDescriptor(p) { ++liveDescriptors; }
    ~CountingDescriptor() override { --liveDescriptors; }
};

TEST(Resource, UrisAreMadeWhenAddedAndClearedWhenRemoved) {
    static const ResourceDescriptor rootDesc(""), net("net"), def("default");
    Resource root(&rootDesc);
    Resource a(&net, nullptr, 0), b(&def, nullptr, 5);
    root.addChild(&a);
    a.addChild(&b);
    EXPECT_EQ("/net", a.uri);
    EXPECT_EQ("/net/default", b.uri);
    EXPECT_EQ(&a, b.parent);
    EXPECT_EQ(5, b.data);
    a.removeChild(&b);
    EXPECT_TRUE(a.children.empty());
    EXPECT_EQ(nullptr, b.parent);
    EXPECT_EQ("", b.uri);
    root.removeChild(&a);
}

TEST(Resource, OwnedDescriptorIsDeletedWithTheResource) {
    {
        Resource r(new CountingDescriptor("folder"), nullptr, 0);
        EXPECT_EQ(1, liveDescriptors);
        EXPECT_EQ("folder", r.name());
        EXPECT_EQ(r.rd, r.dynrd);
    }
    EXPECT_EQ(0, liveDescriptors);
    static const CountingDescriptor shared("static");
    { Resource r(&shared, nullptr, 0); }
    EXPECT_EQ(1, liveDescriptors);
}

}  // namespace
