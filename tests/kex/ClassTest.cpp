// Classes and metaclasses: type tests, factory forwarding and allocation through the framework's
// memory.
#include "kex/Class.h"
#include "kex/Memory.h"
#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <new>

namespace {

class Shape : public KEXClass {
public:
  explicit Shape(int v = 0) : value(v) {}
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();
  int value;
};

class Circle : public Shape {
public:
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();
};

// A factory that counts its calls and constructs Shapes.
struct ShapeFactory : KEXMetaClass::Factory {
  mutable int creates = 0, clones = 0, assigns = 0, destructs = 0;
  KEXClass* create(void* place) const override { return ++creates, place ? new (place) Shape(1) : new Shape(1); }
  KEXClass* clone(const KEXClass* source, void* place) const override
  {
    ++clones;
    if (!source || !source->getMetaClass().isOfType(Shape::metaClass()))
      return nullptr;
    const Shape* s = static_cast<const Shape*>(source);
    return place ? new (place) Shape(*s) : new Shape(*s);
  }
  bool assign(KEXClass* target, const KEXClass* source) const override
  {
    *static_cast<Shape*>(target) = *static_cast<const Shape*>(source);
    return ++assigns > 0;
  }
  bool destruct(KEXClass* object, bool deleteIt) const override
  {
    ++destructs;
    if (object)
      deleteIt ? delete object : object->~KEXClass();
    return object != nullptr;
  }
};

ShapeFactory& shapeFactory()
{
  static ShapeFactory f;
  return f;
}

const KEXMetaClass& Shape::metaClass()
{
  static KEXMetaClass m("ClassTestShape", sizeof(Shape), &KEXClass::metaClass(), &shapeFactory(), "classtest", 0, 0x40,
                        0, nullptr, nullptr, false);
  return m;
}
const KEXMetaClass& Shape::getMetaClass() const { return metaClass(); }

const KEXMetaClass& Circle::metaClass()
{
  static KEXMetaClass m("ClassTestCircle", sizeof(Circle), &Shape::metaClass(), nullptr, "classtest", 0, 0, 0, nullptr,
                        nullptr, false);
  return m;
}
const KEXMetaClass& Circle::getMetaClass() const { return metaClass(); }

TEST(ClassTest, IsOfTypeWalksTheParents)
{
  const KEXMetaClass &k = KEXClass::metaClass(), &s = Shape::metaClass(), &c = Circle::metaClass();
  EXPECT_TRUE(c.isOfType(c) && c.isOfType(s) && c.isOfType(k));
  EXPECT_FALSE(s.isOfType(c) || k.isOfType(s));
  Circle circle;
  EXPECT_EQ(&static_cast<KEXClass&>(circle).getMetaClass(), &c);
}

TEST(ClassTest, MetaclassForwardsToItsFactory)
{
  ShapeFactory& f = shapeFactory();
  const KEXMetaClass& m = Shape::metaClass();
  const int creates = f.creates, clones = f.clones, assigns = f.assigns, destructs = f.destructs;
  KEXClass* a = m.create();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(static_cast<Shape*>(a)->value, 1);
  static_cast<Shape*>(a)->value = 5;
  KEXClass* b = m.clone(a);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(static_cast<Shape*>(b)->value, 5);
  Shape target(9);
  EXPECT_TRUE(m.assign(&target, a));
  EXPECT_EQ(target.value, 5);
  alignas(Shape) unsigned char place[sizeof(Shape)];
  KEXClass* inPlace = m.create(place);
  EXPECT_EQ(static_cast<void*>(inPlace), static_cast<void*>(place));
  EXPECT_TRUE(m.destruct(inPlace, false) && m.destruct(a, true) && m.destruct(b, true));
  EXPECT_FALSE(m.destruct(nullptr, true));
  EXPECT_TRUE(f.creates - creates == 2 && f.clones - clones == 1 && f.assigns - assigns == 1);
  EXPECT_EQ(f.destructs - destructs, 4);
  // A metaclass without factory creates nothing and fails every operation.
  const KEXMetaClass& c = Circle::metaClass();
  Circle circle;
  EXPECT_TRUE(c.create() == nullptr && c.clone(&circle) == nullptr);
  EXPECT_FALSE(c.assign(&circle, &circle) || c.destruct(&circle, false));
}

// A class allocated through the framework's memory.
class Member : public KEXClass, public KEXClassMember {
public:
  double payload[4] = {};
};

TEST(ClassTest, ClassMembersAllocateThroughFrameworkMemory)
{
  const long live = kexTest::liveAllocations();
  Member* m = new Member;
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(kexTest::liveAllocations(), live + 1);
  delete m;
  EXPECT_EQ(kexTest::liveAllocations(), live);
  for (bool nothrow : {false, true}) {
    kexTest::AllocationFault fault(1);
    EXPECT_EQ(nothrow ? new (std::nothrow) Member : new Member, nullptr);
    EXPECT_TRUE(fault.fired());
  }
  KEXClass* asBase = new (std::nothrow) Member;
  ASSERT_NE(asBase, nullptr);
  EXPECT_EQ(kexTest::liveAllocations(), live + 1);
  delete asBase; // through the virtual destructor, back to kexFree
  EXPECT_EQ(kexTest::liveAllocations(), live);
}

} // namespace
