// Classes and metaclasses: type tests, factory forwarding, lookup by name through locate hooks and
// the plug-in manager, recognition of parameter records, flags, registered enums.
#include "kex/Class.h"
#include "kex/Enum.h"
#include "kex/Memory.h"
#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

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
  EXPECT_FALSE(KEXParameterClass::metaClass().isOfType(s));
  EXPECT_TRUE(KEXParameterClass::metaClass().isOfType(k));
  EXPECT_EQ(c.getParent(), &s);
  EXPECT_EQ(k.getParent(), nullptr);
  EXPECT_STREQ(s.getClassName(), "ClassTestShape");
  EXPECT_STREQ(s.getModule(), "classtest");
  EXPECT_EQ(s.getInstanceSize(), sizeof(Shape));
  EXPECT_FALSE(s.isSingleton());
  Circle circle;
  EXPECT_EQ(&circle.getMetaClass(), &c);
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
  // The framework's abstract bases create nothing either.
  EXPECT_EQ(KEXClass::metaClass().create(), nullptr);
  EXPECT_EQ(KEXClass::metaClass().clone(&circle), nullptr);
  EXPECT_EQ(KEXParameterClass::metaClass().create(), nullptr);
}

// Records the class names it is asked for, optionally binding a module or defining the class.
class RecordingHook : public KEXMetaClass::LocateHook {
public:
  RecordingHook(std::vector<std::string>& log, const char* tag) : m_log(log), m_tag(tag) {}
  bool locate(const char* className) override
  {
    m_log.push_back(m_tag + ":" + className);
    if (bindModule)
      KEXPluginManager::bind(bindModule, nullptr, true);
    if (defines && std::string(className) == defines && !defined)
      defined = std::make_unique<KEXMetaClass>(defines, sizeof(Shape), &Shape::metaClass(), &shapeFactory(),
                                               "classtest", 0, 0, 0, nullptr, nullptr, false);
    return true;
  }
  const char* bindModule = nullptr;
  const char* defines = nullptr;
  std::unique_ptr<KEXMetaClass> defined;

private:
  std::vector<std::string>& m_log;
  std::string m_tag;
};

TEST(ClassTest, FindAsksLocateHooksInOrderOnlyForUnknownNames)
{
  std::vector<std::string> log;
  RecordingHook first(log, "first"), second(log, "second");
  second.bindModule = "kexclasstest_no_such_module";
  second.defines = "ClassTestLateClass";
  KEXMetaClass::addLocateHook(&first);
  KEXMetaClass::addLocateHook(&second);
  kexTest::clearPluginBindLog();

  // Known: no hook is asked.
  EXPECT_EQ(KEXMetaClass::find("ClassTestShape"), &Shape::metaClass());
  EXPECT_TRUE(log.empty());

  // Unknown: every hook in registration order, then a second lookup.
  EXPECT_EQ(KEXMetaClass::find("ClassTestMissing"), nullptr);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "first:ClassTestMissing");
  EXPECT_EQ(log[1], "second:ClassTestMissing");

  // The missing module was tried once, is recorded, and is not loaded.
  std::vector<kexTest::BindCall> binds = kexTest::pluginBindLog();
  ASSERT_EQ(binds.size(), 1u);
  EXPECT_EQ(binds[0].module, "kexclasstest_no_such_module");
  EXPECT_EQ(binds[0].name, "");
  EXPECT_TRUE(binds[0].flag);
  EXPECT_FALSE(kexTest::pluginLoaded("kexclasstest_no_such_module"));
  EXPECT_FALSE(KEXPluginManager::bind("kexclasstest_no_such_module", "X", false));
  EXPECT_EQ(kexTest::pluginBindLog().size(), 2u);
  EXPECT_FALSE(KEXPluginManager::bind(nullptr, nullptr, false));

  // A hook that defines the class makes find succeed; later lookups need no hook.
  log.clear();
  const KEXMetaClass* late = KEXMetaClass::find("ClassTestLateClass");
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(late, second.defined.get());
  EXPECT_EQ(late->getParent(), &Shape::metaClass());
  EXPECT_EQ(log.size(), 2u);
  EXPECT_EQ(KEXMetaClass::find("ClassTestLateClass"), late);
  EXPECT_EQ(log.size(), 2u);

  KEXMetaClass::removeLocateHook(&first);
  KEXMetaClass::removeLocateHook(&second);
  log.clear();
  EXPECT_EQ(KEXMetaClass::find("ClassTestMissing"), nullptr);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(KEXMetaClass::find(nullptr), nullptr);

  // A destroyed metaclass is no longer found.
  second.defined.reset();
  EXPECT_EQ(KEXMetaClass::find("ClassTestLateClass"), nullptr);
}

TEST(ClassTest, ReplacedRegistrationComesBackWhenTheNewerOneGoes)
{
  const KEXMetaClass& original = Shape::metaClass();
  {
    KEXMetaClass shadow("ClassTestShape", sizeof(Shape), &KEXClass::metaClass(), nullptr, "other", 0, 0, 0, nullptr,
                        nullptr, false);
    EXPECT_EQ(KEXMetaClass::find("ClassTestShape"), &shadow);
  }
  // A module that registered the same name and was unloaded must not take the first one with it.
  EXPECT_EQ(KEXMetaClass::find("ClassTestShape"), &original);
}

struct Params : KEXParameterClass {
  int tolerance = 3;
};

TEST(ClassTest, CheckStructRecognisesOnlyLiveParameterRecords)
{
  Params p;
  EXPECT_TRUE(KEXStructHeader::checkStruct(&p));
  EXPECT_TRUE(p.getMetaClass().isOfType(KEXParameterClass::metaClass()));
  Params copy(p);
  EXPECT_TRUE(KEXStructHeader::checkStruct(&copy));
  EXPECT_EQ(copy.tolerance, 3);
  EXPECT_FALSE(KEXStructHeader::checkStruct(nullptr));
  int foreign[8] = {};
  EXPECT_FALSE(KEXStructHeader::checkStruct(foreign));
  EXPECT_FALSE(KEXStructHeader::checkStruct(reinterpret_cast<const void*>(std::uintptr_t(0x10))));
  Shape notParams;
  EXPECT_FALSE(KEXStructHeader::checkStruct(&notParams));
  const void* address;
  {
    auto dead = std::make_unique<Params>();
    address = dead.get();
    EXPECT_TRUE(KEXStructHeader::checkStruct(address));
  }
  EXPECT_FALSE(KEXStructHeader::checkStruct(address));
}

class FlagWatcher : public KEXClass {
public:
  void flagsWillChange(unsigned int o, unsigned int n) override { calls.push_back({'w', o, n, getFlags()}); }
  void flagsHaveChanged(unsigned int o, unsigned int n) override { calls.push_back({'h', o, n, getFlags()}); }
  struct Call {
    char kind;
    unsigned int oldFlags, newFlags, flagsSeen;
  };
  std::vector<Call> calls;
};

TEST(ClassTest, FlagChangesAreAnnouncedAroundTheChange)
{
  FlagWatcher w;
  w.setFlags(0x110, 0);
  w.setFlags(0x1, 0x100);
  ASSERT_EQ(w.calls.size(), 4u);
  EXPECT_EQ(w.calls[0].kind, 'w');
  EXPECT_EQ(w.calls[0].flagsSeen, 0u);
  EXPECT_EQ(w.calls[1].kind, 'h');
  EXPECT_EQ(w.calls[1].flagsSeen, 0x110u);
  EXPECT_EQ(w.calls[3].oldFlags, 0x110u);
  EXPECT_EQ(w.calls[3].newFlags, 0x11u);
  EXPECT_EQ(w.getFlags(), 0x11u);
  w.setProtectedFlags(0x110100, 0);
  w.setProtectedFlags(16, 0x100);
  EXPECT_EQ(w.getProtectedFlags(), 0x110010u);
  EXPECT_EQ(w.calls.size(), 4u); // protected flags are silent

  Shape s;
  Shape::metaClass().applyDefaultFlags(&s);
  EXPECT_EQ(s.getFlags(), 0x40u);
  Shape copy(s);
  EXPECT_EQ(copy.getFlags(), 0x40u);
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

TEST(ClassTest, EnumsCompareByNameAndRegistrationsAreCounted)
{
  char name[] = "NoError";
  EXPECT_EQ(KEXenum(name), KEX::NoError);
  EXPECT_NE(KEXenum("NoErrorX"), KEX::NoError);
  EXPECT_NE(KEXenum(), KEX::NoError);
  EXPECT_EQ(KEXenum(), KEXenum());
  EXPECT_FALSE(KEXenum().isValid());
  EXPECT_EQ(std::hash<KEXenum>()(KEXenum(name)), std::hash<KEXenum>()(KEX::NoError));

  const int before = kexTest::enumRegistrationCount("ClassTestName", "classtest");
  {
    KEXRegisteredEnum e("ClassTestName", 0, "classtest");
    EXPECT_TRUE(kexTest::enumRegistered("ClassTestName", "classtest"));
    EXPECT_FALSE(kexTest::enumRegistered("ClassTestName", "other"));
    EXPECT_EQ(kexTest::enumRegistrationCount("ClassTestName", "classtest"), before + 1);
    KEXenum asEnum = e;
    EXPECT_EQ(asEnum, KEXenum("ClassTestName"));
    {
      KEXRegisteredEnum twice("ClassTestName", 0, "classtest");
      EXPECT_EQ(kexTest::enumRegistrationCount("ClassTestName", "classtest"), before + 2);
    }
    // Still registered by the first.
    EXPECT_TRUE(kexTest::enumRegistered("ClassTestName", "classtest"));
  }
  EXPECT_FALSE(kexTest::enumRegistered("ClassTestName", "classtest"));
  EXPECT_EQ(kexTest::enumRegistrationCount("ClassTestName", "classtest"), before + 2);

  KEXEnumSet set("QualityEnums_classtest", {KEX::Fastest, KEX::Normal, KEX::Advanced, KEX::Nicest});
  EXPECT_EQ(set.getCount(), 4);
  EXPECT_EQ(set.getItem(0), KEX::Fastest);
  EXPECT_EQ(set.getItem(4), KEXenum());
  EXPECT_TRUE(set.contains(KEXenum("Nicest")));
  EXPECT_FALSE(set.contains(KEX::Linear));

  EXPECT_TRUE(__kex_enum_init());
  kexTest::failNextKexEnumInit();
  EXPECT_FALSE(__kex_enum_init());
  EXPECT_TRUE(__kex_enum_init());
}

} // namespace
