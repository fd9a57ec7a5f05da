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
  KEXClass* create(void* place) const override
  {
    ++creates;
    return place ? new (place) Shape(1) : new Shape(1);
  }
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
    ++assigns;
    *static_cast<Shape*>(target) = *static_cast<const Shape*>(source);
    return true;
  }
  bool destruct(KEXClass* object, bool deleteIt) const override
  {
    ++destructs;
    if (!object)
      return false;
    if (deleteIt)
      delete object;
    else
      object->~KEXClass();
    return true;
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
  const KEXMetaClass& k = KEXClass::metaClass();
  const KEXMetaClass& s = Shape::metaClass();
  const KEXMetaClass& c = Circle::metaClass();
  EXPECT_TRUE(c.isOfType(c));
  EXPECT_TRUE(c.isOfType(s));
  EXPECT_TRUE(c.isOfType(k));
  EXPECT_FALSE(s.isOfType(c));
  EXPECT_FALSE(k.isOfType(s));
  Circle circle;
  EXPECT_EQ(&static_cast<KEXClass&>(circle).getMetaClass(), &c);
}

TEST(ClassTest, MetaclassForwardsToItsFactory)
{
  ShapeFactory& f = shapeFactory();
  const KEXMetaClass& m = Shape::metaClass();
  int creates = f.creates, clones = f.clones, assigns = f.assigns, destructs = f.destructs;

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
  EXPECT_TRUE(m.destruct(inPlace, false));
  EXPECT_TRUE(m.destruct(a, true));
  EXPECT_TRUE(m.destruct(b, true));
  EXPECT_FALSE(m.destruct(nullptr, true));

  EXPECT_EQ(f.creates - creates, 2);
  EXPECT_EQ(f.clones - clones, 1);
  EXPECT_EQ(f.assigns - assigns, 1);
  EXPECT_EQ(f.destructs - destructs, 4);

  // A metaclass without factory creates nothing and fails every operation.
  const KEXMetaClass& c = Circle::metaClass();
  Circle circle;
  EXPECT_EQ(c.create(), nullptr);
  EXPECT_EQ(c.clone(&circle), nullptr);
  EXPECT_FALSE(c.assign(&circle, &circle));
  EXPECT_FALSE(c.destruct(&circle, false));
}

// A class allocated through the framework's memory.
class Member : public KEXClass, public KEXClassMember {
public:
  double payload[4] = {};
};

TEST(ClassTest, ClassMembersAllocateThroughFrameworkMemory)
{
  long live = kexTest::liveAllocations();
  Member* m = new Member;
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(kexTest::liveAllocations(), live + 1);
  delete m;
  EXPECT_EQ(kexTest::liveAllocations(), live);
  {
    kexTest::AllocationFault fault(1);
    EXPECT_EQ(new Member, nullptr);
    EXPECT_TRUE(fault.fired());
  }
  {
    kexTest::AllocationFault fault(1);
    EXPECT_EQ(new (std::nothrow) Member, nullptr);
  }
  Member* n = new (std::nothrow) Member;
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(kexTest::liveAllocations(), live + 1);
  KEXClass* asBase = n;
  delete asBase; // through the virtual destructor, back to kexFree
  EXPECT_EQ(kexTest::liveAllocations(), live);
}

} // namespace
