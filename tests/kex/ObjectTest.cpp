// Objects of the framework stand-in: property registration under memory faults, links and reference counts.
#include "kex/Properties.h"
#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using FloatOP = KEXSingleValueOP<KEXSingleValuePropertyIF<float>, float>;
struct Counted : KEXObject {
  static inline int destroyed = 0;
  ~Counted() override { ++destroyed; }
};

TEST(KexObject, RegistrationFailsCleanlyWhenMemoryIsShort)
{
  for (long n = 1;; ++n) {
    KEXObject object;
    std::vector<FloatOP> props(20, FloatOP(0.0f));
    KEXenum names[20];
    std::vector<std::string> strings(20);
    kexTest::AllocationFault fault(n);
    int registered = 0;
    KEXenum code = KEX::NoError;
    for (int i = 0; i < 20 && code == KEX::NoError; ++i) {
      strings[i] = "P" + std::to_string(i);
      names[i] = KEXenum(strings[i].c_str());
      code = object.addProperty(names[i], &props[i]);
      registered += code == KEX::NoError;
    }
    EXPECT_EQ(object.getPropertyCount(), registered);
    if (!fault.fired()) {
      EXPECT_TRUE(code == KEX::NoError && registered == 20);
      break;
    }
    EXPECT_EQ(code, KEX::OutOfMemory);
    ASSERT_LT(n, 50);
  }
}

TEST(KexObject, ReferenceCountsAndLinksReleaseTargets)
{
  Counted::destroyed = 0;
  auto* target = new Counted;
  EXPECT_EQ(target->getRefCount(), 1);
  {
    KEXObjectHardLinkOP hard;
    KEXObjectSoftLinkOP soft;
    KEXObjectHardLinkListOP list;
    ASSERT_TRUE(hard.setValue(KEXObjectLink(target)));
    EXPECT_EQ(target->getRefCount(), 2);
    ASSERT_TRUE(soft.setValue(KEXObjectLink(target)));
    EXPECT_EQ(target->getRefCount(), 2) << "a soft link holds no reference";
    KEXObjectLink items[2] = {KEXObjectLink(target), KEXObjectLink(target)};
    ASSERT_TRUE(list.initArray(2, items));
    EXPECT_EQ(target->getRefCount(), 6);
    KEXObjectLink read;
    ASSERT_TRUE(soft.getValue(read));
    EXPECT_EQ(read.get(), target);
    read = KEXObjectLink();
    EXPECT_EQ(target->getRefCount(), 6);
    items[0] = items[1] = KEXObjectLink();
    EXPECT_EQ(target->getRefCount(), 4);
    ASSERT_TRUE(list.removeItem(0));
    EXPECT_EQ(target->getRefCount(), 3);
    target->release(); // the creator lets go; the links keep it alive
    ASSERT_TRUE(hard.setValue(KEXObjectLink()));
    EXPECT_EQ(Counted::destroyed, 0);
  }
  EXPECT_EQ(Counted::destroyed, 1) << "the last link released the target";
}

} // namespace
